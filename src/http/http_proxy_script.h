#pragma once
// Evaluation of a proxy configuration script: its FindProxyForURL(url, host) with the
// usual helper functions, the answer as text ("PROXY host:port; DIRECT").
#include <string>

namespace cvhttp {

// False when no script engine is available or the script fails to load or to answer.
bool EvaluateProxyScript(const std::string& script, const std::string& url, const std::string& host,
                         std::string& answer);

}  // namespace cvhttp
