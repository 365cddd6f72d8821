#pragma once
// The mail message library's instance of the library frame. Message handles are free-threaded:
// the frame's owner check never refuses them.
#include "core/frame/frame.h"
#include "core/frame/frame_entry_points.h"
#include "mime/mime_records.h"

namespace cvmime {

struct FrameTraits;
using Frame = cvcore::LibraryFrame<FrameTraits>;

struct FrameTraits {
  using Session = MimeMessage;
  static constexpr const char* kBanner = "Corvanetics Mail Message Library";
  static bool InitSession(Frame& frame, MimeMessage& message);
};

Frame& Library() noexcept;

CV_FRAME_HEAP_FUNCTIONS(Library)

}  // namespace cvmime
