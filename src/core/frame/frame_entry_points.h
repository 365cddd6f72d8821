#pragma once
// Defines a library's frame entry points (<Prefix>Attach, <Prefix>AllocSession, ...) and
// its private-heap helpers over its one frame, so that every library spells them the same.
// The entry points are declared, by name, in the library's own header.
#include "core/frame/frame.h"

// At global scope, in the library's frame source.
#define CV_FRAME_ENTRY_POINTS(Prefix, SessionType, LibraryFn)                                              \
  void Prefix##ProcessAttach(void* module) { LibraryFn().ProcessAttach(module); }                          \
  void Prefix##ProcessDetach() { LibraryFn().ProcessDetach(); }                                            \
  int32_t Prefix##Attach(LibVersionInfo* info) { return LibraryFn().Attach(info); }                        \
  void Prefix##Detach() { LibraryFn().Detach(); }                                                          \
  uint32_t Prefix##IsInitialized() { return LibraryFn().IsInitialized(); }                                 \
  void Prefix##Lock() { LibraryFn().Lock(); }                                                              \
  void Prefix##Unlock() { LibraryFn().Unlock(); }                                                          \
  void Prefix##SetLastError(uint32_t code) { LibraryFn().SetLastError(code); }                             \
  uint32_t Prefix##GetLastError() { return LibraryFn().GetLastError(); }                                   \
  uint32_t Prefix##SetSocketError() { return LibraryFn().SetSocketError(); }                               \
  uint32_t Prefix##GetErrorText(uint32_t code, char* buffer) { return LibraryFn().GetErrorText(code, buffer); } \
  LibHandle Prefix##AllocSession() { return LibraryFn().AllocSession(); }                                  \
  void Prefix##FreeSession(LibHandle handle) { LibraryFn().FreeSession(handle); }                          \
  SessionType* Prefix##GetSession(LibHandle handle) { return LibraryFn().GetSession(handle); }             \
  SessionType* Prefix##FindSession(LibHandle handle) { return LibraryFn().FindSession(handle); }           \
  uint32_t Prefix##SetHandleOwner(LibHandle handle, uint32_t threadId) {                                   \
    return LibraryFn().SetHandleOwner(handle, threadId);                                                   \
  }                                                                                                        \
  SessionType* Prefix##FindSessionBySocket(SOCKET socket) { return LibraryFn().FindSessionBySocket(socket); }

// Inside the library's namespace, after its Library() declaration.
#define CV_FRAME_HEAP_FUNCTIONS(LibraryFn)                                                                 \
  inline plat::HeapHandle MemLibraryHeap() noexcept { return LibraryFn().MemLibraryHeap(); }               \
  inline void* MemAlloc(size_t size) noexcept { return LibraryFn().MemAlloc(size); }                      \
  inline void MemFree(void* block) noexcept { LibraryFn().MemFree(block); }                                \
  inline plat::HeapHandle MemSessionHeap(LibHandle h) noexcept { return LibraryFn().MemSessionHeap(h); }   \
  inline void* MemSessionAlloc(LibHandle h, size_t size) noexcept { return LibraryFn().MemSessionAlloc(h, size); } \
  inline void MemSessionFree(LibHandle h, void* block) noexcept { LibraryFn().MemSessionFree(h, block); }  \
  inline void MemDestroySessionHeap(LibHandle h) noexcept { LibraryFn().MemDestroySessionHeap(h); }        \
  inline void MemDestroyLibraryHeap() noexcept { LibraryFn().MemDestroyLibraryHeap(); }
