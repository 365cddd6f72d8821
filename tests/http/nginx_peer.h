#pragma once
// nginx as the HTTP test peer: static files below www/, a WebDAV folder for PUT and
// DELETE, gzip for text, a redirect, when the echo module is installed an echo of request
// bodies and a landing place that shows what a request brought, and an access log of the request headers a request carried over from another
// could spoil (AccessLog).
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "peers/peer.h"

namespace httptest {

inline std::string EchoModule() {
  const char* path = "/usr/lib/nginx/modules/ngx_http_echo_module.so";
  return std::filesystem::exists(path) ? std::string("load_module ") + path + ";" : std::string();
}

// With tls the server speaks TLS 1.2 with cert.pem and key.pem of its directory; extra
// holds more locations of the server.
inline cvpeers::PeerOptions NginxOptions(int family = AF_INET, bool tls = false, const std::string& extra = "") {
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
  log_format carried escape=none '$request_method $request_uri type=[$content_type] range=[$http_range] enc=[$http_accept_encoding] auth=[$http_authorization]';
  access_log {{DIR}}/access.log carried;
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
)" + std::string(echo ? "    location = /echo { echo_read_request_body; echo -n $request_body; }\n"
                                     "    location ~ /landing$ { echo_read_request_body; echo -n \"$request_method "
                                     "$request_uri auth=[$http_authorization] cookie=[$http_cookie] "
                                     "body=[$request_body]\"; }\n"
                                   : "") +
                      extra + R"(  }
}
)",
      .values = {{"SSL", tls ? " ssl;\n    ssl_certificate cert.pem;\n    ssl_certificate_key key.pem;\n"
                                 "    ssl_protocols TLSv1.2"
                             : ""}},
      .family = family,
  };
}

// The access log's lines once it holds at least count of them (nginx writes each line as
// its request ends, which may be just after the client has its answer).
inline std::vector<std::string> AccessLog(const std::filesystem::path& dir, size_t count) {
  std::vector<std::string> lines;
  for (int attempt = 0; attempt < 200; ++attempt) {
    lines.clear();
    std::ifstream in(dir / "access.log");
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    if (lines.size() >= count) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return lines;
}

}  // namespace httptest
