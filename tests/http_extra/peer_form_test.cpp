// Form submissions read by Python's own parsers: a multipart POST (email parser), an
// url-encoded POST and a GET query (urllib's parse_qsl), each answered with what was
// parsed; and a form post run as a background task.
#include "extra_fixture.h"
#include "http/http_form.h"

namespace httpextra {
namespace {

using namespace cvhttp;

// Answers every request with one line per field: name, "|", file name or "-", "|", value
// (binary data shown as hex), and appends the answer to a log.
constexpr const char* kParser = R"PY(
import sys, email.parser, email.policy, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

def show(fields):
    return ''.join('%s|%s|%s\n' % (n, f if f is not None else '-', v.hex() if isinstance(v, bytes) else v)
                   for n, f, v in fields).encode()

class Handler(BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'
    def answer(self, body):
        with open(sys.argv[3], 'ab') as log:
            log.write(body)
        self.send_response(200)
        self.send_header('Content-Type', 'text/plain')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def do_GET(self):
        query = urllib.parse.urlsplit(self.path).query
        self.answer(b'GET\n' + show((n, None, v) for n, v in urllib.parse.parse_qsl(query, keep_blank_values=True)))
    def do_POST(self):
        data = self.rfile.read(int(self.headers['Content-Length']))
        ctype = self.headers['Content-Type']
        if ctype.startswith('multipart/form-data'):
            msg = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(
                b'Content-Type: ' + ctype.encode() + b'\r\n\r\n' + data)
            fields = [(p.get_param('name', header='content-disposition'), p.get_filename(),
                       p.get_payload(decode=True)) for p in msg.iter_parts()]
        else:
            fields = [(n, None, v) for n, v in urllib.parse.parse_qsl(data.decode(), keep_blank_values=True)]
        self.answer(ctype.split(';')[0].encode() + b'\n' + show(fields))
    def log_message(self, *args):
        pass

ThreadingHTTPServer((sys.argv[1], int(sys.argv[2])), Handler).serve_forever()
)PY";

class FormPeer : public Extra {
 protected:
  void SetUp() override {
    Extra::SetUp();
    parser_ = std::make_unique<cvpeers::PeerProcess>(cvpeers::PeerOptions{
        .program = "python3",
        .args = {"{{CONFIG}}", "{{ADDR}}", "{{PORT}}", "{{DIR}}/parsed.log"},
        .configName = "parser.py",
        .configTemplate = kParser,
    });
    CV_START_PEER(*parser_);
  }
  LibHandle Open(uint32_t version = kVersion11) {
    const LibHandle h = HttpConnect(parser_->address().c_str(), parser_->port(), 10, 0x2, version, nullptr);
    EXPECT_NE(h, kInvalidLibHandle) << Error();
    return h;
  }
  LibHandle Sample(uint32_t method, uint32_t encoding) {
    const LibHandle f = FormCreate(method, encoding, "/submit");
    const std::string value = "x-y.z a&b=c+d%41 \xc3\xa9";
    EXPECT_EQ(FormAddValue(f, "a", value.data(), uint32_t(value.size())), 0);
    EXPECT_EQ(FormAddValue(f, "empty", nullptr, 0), 0);
    EXPECT_EQ(FormAddFile(f, "f", "n.bin", "\x00\r\n--", 5), 0);
    return f;
  }
  std::string Post(LibHandle h, LibHandle form) {
    plat::HGLOBAL block = nullptr;
    uint32_t length = 0;
    EXPECT_EQ(HttpFormPost(h, form, &block, &length, 0), 200) << Error();
    return BlockText(block, length);
  }

  std::unique_ptr<cvpeers::PeerProcess> parser_;
};

TEST_F(FormPeer, EachEncodingArrivesAsTheFieldsThatWereAdded) {
  const LibHandle h = Open();
  EXPECT_EQ(Post(h, Sample(kFormPost, kFormMultipart)),
            "multipart/form-data\n"
            "a|-|782d792e7a206126623d632b6425343120c3a9\n"
            "empty|-|\n"
            "f|n.bin|000d0a2d2d\n");
  // The form's content headers do not stay on the session.
  char type[128] = {};
  HttpGetRequestHeader(h, "Content-Type", type, sizeof type);
  EXPECT_STREQ(type, "");
  EXPECT_EQ(Post(h, Sample(kFormPost, kFormUrlEncoded)),
            "application/x-www-form-urlencoded\n"
            "a|-|x-y.z a&b=c+d%41 \xc3\xa9\n"
            "empty|-|\n"
            "f|-|\n");
  EXPECT_EQ(Post(h, Sample(kFormGet, kFormUrlEncoded)), "GET\na|-|x-y.z a&b=c+d%41 \xc3\xa9\nempty|-|\nf|-|\n");
}

// Names reach a parser that holds to the grammar as they were given: quotes escaped the way
// browsers do, a posted file under its base name only; a name with a line break is refused.
TEST_F(FormPeer, NamesStayInsideTheirParameters) {
  const LibHandle h = Open();
  cvpeers::TempDir dir;
  const auto path = dir.Write("private folder/na me\".txt", "file body\n");
  ASSERT_EQ(HttpPostFile(h, path.c_str(), "/submit", "fi\"eld", 0), 200) << Error();
  EXPECT_EQ(ReadFile(parser_->dir() / "parsed.log"),
            "multipart/form-data\nfi%22eld|na me%22.txt|66696c6520626f64790a\n");
  EXPECT_EQ(HttpPostFile(h, path.c_str(), "/submit", "a\r\nX-Injected: 1", 0), -1);
  EXPECT_EQ(Error(), 10014u);

  const LibHandle f = FormCreate(kFormPost, kFormMultipart, "/submit");
  EXPECT_EQ(FormAddValue(f, "na me\".x", "v", 1), 0);
  EXPECT_EQ(FormAddFile(f, "f\"", "n\".bin", "d", 1), 0);
  EXPECT_EQ(FormAddValue(f, "a\r\nb", "v", 1), -1);
  EXPECT_EQ(Error(), 10014u);
  EXPECT_EQ(FormAddFile(f, "g", "x\ny", "d", 1), -1);
  EXPECT_EQ(Post(h, f), "multipart/form-data\nna me%22.x|-|76\nf%22|n%22.bin|64\n");
}

TEST_F(FormPeer, RefusedSubmissionsAndAFormPostTask) {
  const LibHandle h = Open();
  const LibHandle noAction = FormCreate(kFormPost, kFormMultipart, "");
  FormAddValue(noAction, "a", "b", 1);
  plat::HGLOBAL block = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(HttpFormPost(h, noAction, &block, &length, 0), -1);
  EXPECT_EQ(Error(), 12332u);
  const LibHandle old = Open(0);
  EXPECT_EQ(HttpFormPost(old, Sample(kFormPost, kFormMultipart), &block, &length, 0), -1);
  EXPECT_EQ(Error(), 12333u);

  HttpTaskRequest* q = HttpNewTaskRequest();
  q->opcode = kHttpTaskPostForm;
  q->session = h;
  q->form = Sample(kFormPost, kFormMultipart);
  q->data = &block;
  q->length = &length;
  const uint32_t id = HttpStartTask(q);
  uint32_t elapsed = 0, result = 1;
  ASSERT_EQ(HttpTaskWait(id, 30000, &elapsed, &result), 1);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(BlockText(block, length).substr(0, 20), "multipart/form-data\n");
}

}  // namespace
}  // namespace httpextra
