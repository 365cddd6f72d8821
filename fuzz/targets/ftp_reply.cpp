// FTP replies as the client's reader takes them from the control connection, byte by byte:
// single and multi-line replies, one after another, until the bytes run out or one is bad.
#include <cstring>
#include <memory>

#include "ftp/ftp_session.h"
#include "fuzz_target.h"

CV_FUZZ_TARGET(ftp_reply) {
  auto text = std::make_unique<char[]>(kFtpReplyTextSize);
  auto raw = std::make_unique<char[]>(kFtpReplyTextSize);
  cvcore::ReplyReader reader;
  reader.Start(kFtpReplyLimits, text.get(), raw.get());
  for (size_t i = 0; i < size; ++i) {
    const cvcore::ReplyReader::Status status = reader.Feed(char(data[i]));
    if (status == cvcore::ReplyReader::Status::More) continue;
    reader.Finish();
    const size_t textLength = std::strlen(text.get());
    FUZZ_CHECK(textLength < kFtpReplyTextSize);
    FUZZ_CHECK(std::strlen(raw.get()) == reader.rawLength());
    FUZZ_CHECK(reader.rawLength() < kFtpReplyTextSize);
    if (status != cvcore::ReplyReader::Status::Done) return;
    // A complete reply has its three digits; the text keeps no carriage return.
    FUZZ_CHECK(reader.HasCode() && reader.code() <= 999);
    FUZZ_CHECK(!std::memchr(text.get(), '\r', textLength));
    reader.Start(kFtpReplyLimits, text.get(), raw.get());
  }
}
