// Form composition: multipart parts and their end, url-encoded fields, the escapes of form
// values, and the errors of the table and of an empty form.
#include "extra_fixture.h"
#include "http/http_form.h"

namespace httpextra {
namespace {

using namespace cvhttp;

class Form : public Extra {
 protected:
  std::string Compose(LibHandle form, int32_t expectFields) {
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(HttpFormCompose(form, &block, &length), expectFields) << Error();
    if (block) {
      EXPECT_EQ(plat::GlobalSize(block) % 8192, 0u);
    }
    return BlockText(block, length);
  }
  LibHandle ValueAndFile(uint32_t method, uint32_t encoding) {
    const LibHandle f = FormCreate(method, encoding, "/submit");
    EXPECT_NE(f, kInvalidLibHandle);
    EXPECT_EQ(FormAddValue(f, "a", "x", 1), 0);
    EXPECT_EQ(FormAddFile(f, "f", "n", "\x01\x00\x02", 3), 0);
    return f;
  }
};

TEST_F(Form, MultipartBodyHasOnePartPerFieldAndTheClosingBoundary) {
  const LibHandle f = ValueAndFile(kFormPost, kFormMultipart);
  std::string boundary;
  {
    HttpLock();
    boundary = HttpFormFind(f)->boundary;
    HttpUnlock();
  }
  ASSERT_FALSE(boundary.empty());
  const std::string expected = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\nx\r\n" + "--" +
                               boundary + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"n\"\r\n" +
                               "Content-Type: application/octet-stream\r\n\r\n" + std::string("\x01\x00\x02", 3) +
                               "\r\n--" + boundary + "--\r\n";
  EXPECT_EQ(Compose(f, 2), expected);
}

TEST_F(Form, UrlEncodedBodySendsValuesOnlyAndEscapesWhatWouldSplitFields) {
  // A GET form and a POST form that is not multipart compose alike; file contents stay out.
  EXPECT_EQ(Compose(ValueAndFile(kFormPost, kFormUrlEncoded), 2), "a=x&f=");
  EXPECT_EQ(Compose(ValueAndFile(kFormGet, kFormMultipart), 2), "a=x&f=");

  const LibHandle f = FormCreate(kFormPost, kFormUrlEncoded, "/submit");
  const std::string tricky = "x-y.z a&b=c+d%41";
  ASSERT_EQ(FormAddValue(f, "v", tricky.data(), uint32_t(tricky.size())), 0);
  ASSERT_EQ(FormAddValue(f, "empty", nullptr, 0), 0);
  EXPECT_EQ(Compose(f, 2), "v=x%2dy%2ez%20a%26b%3dc%2bd%2541&empty=");
}

TEST_F(Form, ErrorsOfHandlesAndEmptyForms) {
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpFormCompose(kFormHandleBase + 5, &block, &length), -1);
  EXPECT_EQ(Error(), 12331u);
  const LibHandle f = FormCreate(kFormPost, kFormMultipart, "/x");
  EXPECT_EQ(HttpFormCompose(f, nullptr, &length), -1);
  EXPECT_EQ(Error(), 10014u);
  EXPECT_EQ(HttpFormCompose(f, &block, &length), -1);
  EXPECT_EQ(Error(), 12336u);
  EXPECT_EQ(block, nullptr);
  EXPECT_EQ(FormDelete(f), 0);
  EXPECT_EQ(FormAddValue(f, "a", "b", 1), -1);
  EXPECT_EQ(Error(), 12331u);
  EXPECT_EQ(HttpFormPost(kInvalidLibHandle, f, nullptr, nullptr, 0), -1);

  // The last detach frees every form; a new attach starts with an empty table.
  const LibHandle kept = ValueAndFile(kFormPost, kFormMultipart);
  HttpDetach();
  LibVersionInfo info{};
  info.size = sizeof info;
  info.options = kLibAttachFull;
  ASSERT_EQ(HttpAttach(&info), 1);
  EXPECT_EQ(HttpFormCompose(kept, &block, &length), -1);
  EXPECT_EQ(Error(), 12331u);
}

}  // namespace
}  // namespace httpextra
