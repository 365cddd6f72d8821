#pragma once
// This test program's operator new can join the platform heap's count of allocations, so
// that the C++ allocations of a library call (strings, vectors, records) fail in turn too
// and reach the library as std::bad_alloc. Two scopes decide: the run arms it for a path,
// and the path marks where it calls the library (never its own scaffolding, such as the
// scripted server).
namespace allocfail {

class CxxFaultsArmed {
 public:
  explicit CxxFaultsArmed(bool on) noexcept;
  ~CxxFaultsArmed();
  CxxFaultsArmed(const CxxFaultsArmed&) = delete;
  CxxFaultsArmed& operator=(const CxxFaultsArmed&) = delete;

 private:
  bool was_;
};

class LibraryCalls {
 public:
  LibraryCalls() noexcept;
  ~LibraryCalls();
  LibraryCalls(const LibraryCalls&) = delete;
  LibraryCalls& operator=(const LibraryCalls&) = delete;

 private:
  bool was_;
};

// For a library thread the test does not run itself (a server's session thread, from its
// owner event): arms and counts C++ allocations of the calling thread until turned off.
void CountNewOnThisThread(bool on) noexcept;

}  // namespace allocfail
