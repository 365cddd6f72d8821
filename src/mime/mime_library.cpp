#include "mime/mime_library.h"

#include "mime/mime.h"

namespace cvmime {

Frame& Library() noexcept {
  static Frame frame;
  return frame;
}

bool FrameTraits::InitSession(Frame&, MimeMessage& message) {
  message.options = kLibOptionFreeThreaded;
  return true;
}

}  // namespace cvmime

using cvmime::Library;

void MimeProcessAttach(void* module) { Library().ProcessAttach(module); }
void MimeProcessDetach() { Library().ProcessDetach(); }
int32_t MimeAttach(LibVersionInfo* info) { return Library().Attach(info); }
void MimeDetach() { Library().Detach(); }
uint32_t MimeIsInitialized() { return Library().IsInitialized(); }
void MimeSetLastError(uint32_t code) { Library().SetLastError(code); }
uint32_t MimeGetLastError() { return Library().GetLastError(); }
uint32_t MimeGetErrorText(uint32_t code, char* buffer) { return Library().GetErrorText(code, buffer); }
