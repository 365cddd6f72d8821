// A MIME parse of a nested multipart message, its attachments written out, and the
// message exported to a global memory block; a composed message given a further text part;
// each with every heap allocation failing in turn.
#include <string>

#include "each_allocation.h"
#include "mime/mime_fixture.h"

namespace allocfail {
namespace {

const std::string kMessage =
    "From: =?iso-8859-1?Q?Andr=E9?= <andre@example.org>\n"
    "To: Bob <bob@example.org>,\n"
    " Carol <carol@example.org>\n"
    "Subject: =?utf-8?B?w6lsw6h2ZQ==?=\n"
    "MIME-Version: 1.0\n"
    "Content-Type: multipart/mixed; boundary=\"outer\"\n"
    "\n"
    "--outer\n"
    "Content-Type: multipart/alternative; boundary=\"inner\"\n"
    "\n"
    "--inner\n"
    "Content-Type: text/plain; charset=iso-8859-1\n"
    "Content-Transfer-Encoding: quoted-printable\n"
    "\n"
    "Caf=E9 au lait =\n"
    "for two.\n"
    "--inner\n"
    "Content-Type: text/html; charset=utf-8\n"
    "\n"
    "<p>Caf\xC3\xA9</p>\n"
    "--inner--\n"
    "--outer\n"
    "Content-Type: application/octet-stream; name=\"data.bin\"\n"
    "Content-Transfer-Encoding: base64\n"
    "Content-Disposition: attachment; filename=\"data.bin\"\n"
    "\n"
    "AAECAwT/\n"
    "--outer--\n";

using MimeAllocations = MimeTest;

TEST_F(MimeAllocations, ParseExtractAndExport) {
  const std::string directory = dir_.string();
  const allocfail::Path path = [&directory]() -> uint32_t {
    LibraryCalls calls;
    const LibHandle h = MimeCreateMessage();
    if (h == kInvalidLibHandle) return MimeGetLastError();
    uint32_t error = 0;
    plat::HGLOBAL block = nullptr;
    uint32_t size = 0;
    if (MimeParseMessage(h, kMessage.data(), int32_t(kMessage.size())) != 1 ||
        MimeExtractAllFiles(h, directory.c_str()) != 1 ||
        MimeExportMessage(h, kMimeExportGlobal, 0, nullptr, &block, &size) != 1) {
      error = MimeGetLastError();
    } else {
      EXPECT_EQ(MimeGetPartCount(h), 5);  // the message, the alternative and its parts, the attachment
      EXPECT_GT(size, kMessage.size() / 2);
      plat::GlobalFree(block);
    }
    MimeDestroyMessage(h);
    return error;
  };
  EXPECT_GT(EachAllocationFails(path, true), 20u);
}

// A part's charset headers are built as the part is created: memory running out there is
// the call's out-of-memory error, not an exception out of the library.
TEST_F(MimeAllocations, ComposeAndCreatePart) {
  const allocfail::Path path = []() -> uint32_t {
    LibraryCalls calls;
    const LibHandle h =
        MimeComposeMessage("a@example.org", "b@example.org", nullptr, "Hello", "plain", "<p>html</p>", 0, 0);
    if (h == kInvalidLibHandle) return MimeGetLastError();
    const uint32_t error = MimeCreatePart(h, 0, 0, "more text\n") < 0 ? MimeGetLastError() : 0;
    MimeDestroyMessage(h);
    return error;
  };
  EXPECT_GT(EachAllocationFails(path, true), 20u);
}

}  // namespace
}  // namespace allocfail
