#pragma once
// A bound on how long a piece of work may take: when it runs past the limit, the process
// aborts with a message, which the fuzzer and the replay report as a finding (an endless
// loop is as much a fault as a crash).
#include <chrono>
#include <string>

namespace cvfuzz {

class Deadline {
 public:
  Deadline(std::chrono::milliseconds limit, std::string what);
  ~Deadline();
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;

 private:
  unsigned long id_;
};

}  // namespace cvfuzz
