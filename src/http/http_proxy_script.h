#pragma once
// Evaluation of a proxy configuration script: its FindProxyForURL(url, host) with the
// usual helper functions, the answer as text ("PROXY host:port; DIRECT").
#include <chrono>
#include <string>

namespace cvhttp {

// What one evaluation may take, from its start to its answer.
inline constexpr std::chrono::milliseconds kScriptDeadline{3000};

// False when no script engine is available, the script fails to load or to answer, or it
// did not answer within kScriptDeadline. The evaluation runs in a helper process ended at
// the deadline; a script that ran out of time fails at once for a while afterwards.
bool EvaluateProxyScript(const std::string& script, const std::string& url, const std::string& host,
                         std::string& answer);

#ifdef CV_HAVE_SCRIPT_ENGINE
// The evaluation itself, in the calling process (the engine bounds loops of script steps,
// not the time spent inside a built-in function).
bool EvaluateInEngine(const std::string& script, const std::string& url, const std::string& host, std::string& answer);
#endif

}  // namespace cvhttp
