#pragma once
// nginx as the HTTP test peer: static files below www/, a WebDAV folder for PUT and
// DELETE, gzip for text, a redirect, and an echo of request bodies when the echo module
// is installed.
#include <filesystem>
#include <string>

#include "peers/peer.h"

namespace httptest {

inline std::string EchoModule() {
  const char* path = "/usr/lib/nginx/modules/ngx_http_echo_module.so";
  return std::filesystem::exists(path) ? std::string("load_module ") + path + ";" : std::string();
}

// With tls the server speaks TLS 1.2 with cert.pem and key.pem of its directory.
inline cvpeers::PeerOptions NginxOptions(int family = AF_INET, bool tls = false) {
  const bool echo = !EchoModule().empty();
  return cvpeers::PeerOptions{
      .program = "nginx",
      .args = {"-p", "{{DIR}}", "-c", "{{CONFIG}}", "-e", "{{DIR}}/error.log"},
      .configName = "nginx.conf",
      .configTemplate = EchoModule() + R"(
daemon off;
master_process off;
worker_processes 1;
pid {{DIR}}/nginx.pid;
error_log {{DIR}}/error.log;
events { worker_connections 64; }
http {
  access_log off;
  client_body_temp_path {{DIR}}/tmp_body;
  proxy_temp_path {{DIR}}/tmp_proxy;
  fastcgi_temp_path {{DIR}}/tmp_fastcgi;
  uwsgi_temp_path {{DIR}}/tmp_uwsgi;
  scgi_temp_path {{DIR}}/tmp_scgi;
  types { text/plain txt; text/html html; application/octet-stream bin; }
  keepalive_requests 100;
  server {
    listen {{HOST}}:{{PORT}}{{SSL}};
    root {{DIR}}/www;
    add_header X-Connection $connection;
    gzip on;
    gzip_types text/plain;
    gzip_min_length 1;
    location /dav/ { dav_methods PUT DELETE; create_full_put_path on; client_max_body_size 64m; }
    location = /moved { return 302 /small.txt; }
)" + std::string(echo ? "    location = /echo { echo_read_request_body; echo -n $request_body; }\n" : "") + R"(  }
}
)",
      .values = {{"SSL", tls ? " ssl;\n    ssl_certificate cert.pem;\n    ssl_certificate_key key.pem;\n"
                                 "    ssl_protocols TLSv1.2"
                             : ""}},
      .family = family,
  };
}

}  // namespace httptest
