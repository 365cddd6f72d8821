// Interoperability with an independent MIME implementation (the Python email package):
// messages it writes are parsed here, and messages written here are parsed by it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "mime_fixture.h"

namespace {

class MimeOracleTest : public MimeTest {
 protected:
  void SetUp() override {
    MimeTest::SetUp();
    if (std::system("python3 -c 'import email' >/dev/null 2>&1") != 0) GTEST_SKIP() << "python3 is not installed";
  }

  // Runs a Python script in the test directory; its standard output, and its exit status.
  int RunPython(const std::string& script, std::string& out) {
    WriteFile(Path("script.py"), script);
    const std::string command = "cd '" + dir_.string() + "' && python3 script.py 2>&1";
    FILE* p = popen(command.c_str(), "r");
    if (!p) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
    return pclose(p);
  }
};

const char* kWriter = R"PY(
from email.message import EmailMessage
from email.policy import SMTP
msg = EmailMessage()
msg['From'] = 'Zoë Ångström <zoe@example.org>'
msg['To'] = 'bob@example.org, "Doe, Jane" <jane@example.org>'
msg['Subject'] = 'Grüße aus Köln – ünïcödé everywhere'
msg.set_content('Plain text with ünïcödé and a long line ' + 'x' * 100 + '\n')
msg.add_alternative('<html><body><p>Grüße</p></body></html>\n', subtype='html')
blob = bytes(range(256)) * 20
open('blob.bin', 'wb').write(blob)
msg.add_attachment(blob, maintype='application', subtype='octet-stream', filename='blob.bin')
msg.add_attachment('attached text\nsecond line\n', filename='notes.txt')
open('py.eml', 'wb').write(msg.as_bytes(policy=SMTP))
)PY";

TEST_F(MimeOracleTest, ParsesMessagesWrittenByTheOracle) {
  std::string out;
  ASSERT_EQ(RunPython(kWriter, out), 0) << out;
  LibHandle h = MimeCreateMessage();
  ASSERT_EQ(MimeImportMessage(h, Path("py.eml").c_str()), 1) << MimeGetLastError();
  EXPECT_EQ(Header(h, 0, "Subject"), "Grüße aus Köln – ünïcödé everywhere");
  EXPECT_NE(Header(h, 0, "From").find("Zoë Ångström"), std::string::npos) << Header(h, 0, "From");
  char recipients[256];
  uint32_t size = sizeof recipients;
  EXPECT_EQ(MimeGetRecipients(h, nullptr, recipients, &size), 2);
  EXPECT_STREQ(recipients, "bob@example.org");
  EXPECT_STREQ(recipients + 16, "jane@example.org");

  // mixed: [alternative: [plain, html], blob, notes]
  ASSERT_EQ(MimeGetPartCount(h), 6);
  EXPECT_EQ(Header(h, 1, "Content-Type").rfind("multipart/alternative", 0), 0u);
  EXPECT_NE(Body(h, 2).find("Plain text with ünïcödé and a long line " + std::string(100, 'x')), std::string::npos);
  EXPECT_NE(Body(h, 3).find("<p>Grüße</p>"), std::string::npos);
  ASSERT_EQ(MimeExtractAllFiles(h, Path("out").c_str()), -1);  // the directory must exist
  std::filesystem::create_directory(dir_ / "out");
  ASSERT_EQ(MimeExtractAllFiles(h, Path("out").c_str()), 2);
  EXPECT_EQ(ReadFile(Path("out/blob.bin")), ReadFile(Path("blob.bin")));
  EXPECT_EQ(ReadFile(Path("out/notes.txt")), "attached text\r\nsecond line\r\n");  // 7bit text travels with CR LF
}

const char* kReader = R"PY(
import email, hashlib, sys
from email import policy
msg = email.message_from_bytes(open('ours.eml', 'rb').read(), policy=policy.default)
assert not msg.defects, msg.defects
print('subject', msg['Subject'])
print('from', msg['From'])
for part in msg.walk():
    defects = part.defects
    assert not defects, defects
    if part.is_multipart():
        print('multipart', part.get_content_type())
        continue
    data = part.get_payload(decode=True)
    print('leaf', part.get_content_type(), part.get_filename(), hashlib.sha256(data).hexdigest())
)PY";

TEST_F(MimeOracleTest, OracleParsesMessagesWrittenHere) {
  LibHandle h = MimeComposeMessage("Zoë <zoe@example.org>", "bob@example.org", nullptr, "Grüße from here",
                                   "Plain ünïcödé text\n", "<p>Grüße</p>\n", 0, kMimeEncodingQuoted);
  ASSERT_NE(h, kInvalidLibHandle);
  std::string blob;
  for (int i = 0; i < 5000; ++i) blob.push_back(char(i * 17));
  WriteFile(Path("blob.bin"), blob);
  ASSERT_EQ(MimeAttachFile(h, Path("blob.bin").c_str(), 0), 1);
  ASSERT_EQ(MimeAttachData(h, "uu data\n", 8, "old.txt", "text/plain", mailAttachQuoted), 1);
  ASSERT_EQ(MimeExportMessage(h, kMimeExportFile, 0, Path("ours.eml").c_str(), nullptr, nullptr), 1);

  std::string out;
  ASSERT_EQ(RunPython(kReader, out), 0) << out;
  EXPECT_NE(out.find("subject Grüße from here\n"), std::string::npos) << out;
  EXPECT_NE(out.find("from Zoë <zoe@example.org>\n"), std::string::npos) << out;
  EXPECT_NE(out.find("multipart multipart/mixed\nmultipart multipart/alternative\nleaf text/plain None"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("leaf text/html None"), std::string::npos) << out;
  // The attachments decode there to the very bytes attached here.
  std::string expected;
  ASSERT_EQ(RunPython("import hashlib\nprint(hashlib.sha256(open('blob.bin','rb').read()).hexdigest())\n", expected), 0);
  EXPECT_NE(out.find("leaf application/octet-stream blob.bin " + expected.substr(0, 64)), std::string::npos) << out;
  std::string textHash;
  ASSERT_EQ(RunPython("import hashlib\nprint(hashlib.sha256(b'uu data\\n').hexdigest())\n", textHash), 0);
  EXPECT_NE(out.find("leaf text/plain old.txt " + textHash.substr(0, 64)), std::string::npos) << out;
}

// A received message with what commonly goes wrong: a 90 KB attachment whose base64 is one
// line, a 70 KB HTML line, three Cc headers, an RFC 2231 file name and a Latin-1 encoded
// subject. It parses, exports and parses again with every byte, header and name intact,
// and the oracle reads the exported text the same way.
TEST_F(MimeOracleTest, CompositeMessageRoundTripsAndTheOracleAgrees) {
  std::string data(90000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char((i * 2654435761u) >> 13);
  WriteFile(Path("data.bin"), data);
  std::string b64;
  ASSERT_EQ(RunPython("import base64\nprint(base64.b64encode(open('data.bin','rb').read()).decode(), end='')\n", b64), 0);
  ASSERT_EQ(b64.size(), 120000u);
  std::string html = "<html><body><p>";
  while (html.size() < 70000) html += "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln, ";
  html += "</p></body></html>";
  WriteFile(Path("html.txt"), html);
  const std::string name = "\xC3\x9C" "bersicht Gr\xC3\xB6\xC3\x9F" "en.bin";  // Übersicht Größen.bin
  const std::string text =
      "From: Ann <ann@example.org>\r\nTo: bob@example.org\r\nCc: c1@example.org\r\nCc: c2@example.org\r\n"
      "Subject: =?iso-8859-1?Q?Gr=FC=DFe_aus_K=F6ln?=\r\nCc: c3@example.org\r\nMIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"outer\"\r\n\r\n"
      "--outer\r\nContent-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
      html + "\r\n--outer\r\nContent-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n"
      "Content-Disposition: attachment;\r\n filename*=utf-8''%C3%9Cbersicht%20Gr%C3%B6%C3%9F%65n.bin\r\n\r\n" +
      b64 + "\r\n--outer--\r\n";

  // Checks one parsed copy: the values as the host reads them, and the attachment's bytes.
  auto check = [&](LibHandle h, const char* which) {
    EXPECT_EQ(Header(h, 0, "Subject"), "Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln") << which;
    char recipients[512];
    uint32_t size = sizeof recipients;
    EXPECT_EQ(MimeGetRecipients(h, nullptr, recipients, &size), 4) << which;
    ASSERT_EQ(MimeGetPartCount(h), 3) << which;
    EXPECT_EQ(Body(h, 1), html + "\r\n") << which;
    MimeSelectPart(h, 2);
    char attachment[260];
    ASSERT_EQ(MimeGetAttachmentName(h, attachment, sizeof attachment), 1) << which;
    EXPECT_EQ(attachment, name) << which;
    ASSERT_EQ(MimeExtractFile(h, Path("out.bin").c_str()), 1) << which;
    EXPECT_EQ(ReadFile(Path("out.bin")), data) << which;
  };
  LibHandle h = Parse(text);
  check(h, "parsed");
  ASSERT_EQ(MimeExportMessage(h, kMimeExportFile, kMimeExportAllHeaders | kMimeExportStoredOrder,
                              Path("ours.eml").c_str(), nullptr, nullptr),
            1);
  LibHandle again = MimeCreateMessage();
  ASSERT_EQ(MimeImportMessage(again, Path("ours.eml").c_str()), 1);
  check(again, "exported and parsed again");
  MimeDestroyMessage(again);
  MimeDestroyMessage(h);

  std::string out;
  ASSERT_EQ(RunPython(R"PY(
import email, sys
from email import policy
msg = email.message_from_bytes(open('ours.eml', 'rb').read(), policy=policy.default)
for part in msg.walk():
    assert not part.defects, part.defects
print('subject', msg['Subject'])
print('cc', len(msg.get_all('Cc')), ','.join(str(c) for c in msg.get_all('Cc')))
html, attachment = list(msg.iter_parts())
print('html', html.get_content() == open('html.txt', encoding='utf-8').read() + '\r\n')
print('name', attachment.get_filename())
print('data', attachment.get_payload(decode=True) == open('data.bin', 'rb').read())
)PY",
                      out),
            0)
      << out;
  EXPECT_NE(out.find("subject Gr\xC3\xBC\xC3\x9F" "e aus K\xC3\xB6ln\n"), std::string::npos) << out;
  EXPECT_NE(out.find("cc 3 c1@example.org,c2@example.org,c3@example.org\n"), std::string::npos) << out;
  EXPECT_NE(out.find("html True\n"), std::string::npos) << out;
  EXPECT_NE(out.find("name " + name + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("data True\n"), std::string::npos) << out;
}

}  // namespace
