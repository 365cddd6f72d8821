#pragma once
// The client side of the server targets: a free loopback port to start a server on, and one
// connection that sends the input, ends its half, and reads everything the server answers.
#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace cvfuzz {

// Starts a server on a free port of 127.0.0.1 (start(port) says whether it worked, a few
// ports are tried); the port, or 0.
int StartOnFreePort(const std::function<bool(int port)>& start);

// Connects to 127.0.0.1:port, sends the bytes, shuts down its sending side and collects the
// answer until the server closes or the limit passes. onData sees the answer as it grows
// (e.g. to follow a passive data port the server announced).
std::string Converse(int port, std::string_view bytes, std::chrono::milliseconds limit,
                     const std::function<void(const std::string& answer)>& onData = {});

// True when needle occurs in haystack (a plain loop, so that the fuzzer's comparison hooks
// never learn an oracle's secret from the search).
bool Contains(std::string_view haystack, std::string_view needle);

// Random hexadecimal text, different in every process.
std::string RandomMark(const char* prefix);

}  // namespace cvfuzz
