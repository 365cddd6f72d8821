#pragma once
// The FTP library's instance of the library frame, and its private heaps.
#include <cstddef>

#include "core/frame/frame.h"
#include "ftp/ftp_session.h"

namespace cvftp {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

struct FrameTraits {
  using Session = FtpSession;
  static constexpr const char* kBanner = "Corvanetics File Transfer Protocol Library";
  static bool InitSession(Frame& frame, FtpSession& session);
  static void ReleaseSessionLocked(Frame& frame, FtpSession& session);
  static bool UsesSocket(const FtpSession& s, SOCKET socket) { return s.dataSocket == socket; }
  static HWND WindowOf(const FtpSession& s) { return s.socketWindow; }
};

// The library's one frame.
Frame& Library() noexcept;

// Private heaps: the library heap and the heap of a session, by handle.
inline plat::HeapHandle MemLibraryHeap() noexcept { return Library().MemLibraryHeap(); }
inline void* MemAlloc(size_t size) noexcept { return Library().MemAlloc(size); }
inline void MemFree(void* block) noexcept { Library().MemFree(block); }
inline plat::HeapHandle MemSessionHeap(LibHandle h) noexcept { return Library().MemSessionHeap(h); }
inline void* MemSessionAlloc(LibHandle h, size_t size) noexcept { return Library().MemSessionAlloc(h, size); }
inline void MemSessionFree(LibHandle h, void* block) noexcept { Library().MemSessionFree(h, block); }
inline void MemDestroySessionHeap(LibHandle h) noexcept { Library().MemDestroySessionHeap(h); }
inline void MemDestroyLibraryHeap() noexcept { Library().MemDestroyLibraryHeap(); }

}  // namespace cvftp
