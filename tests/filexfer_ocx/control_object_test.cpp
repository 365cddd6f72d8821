// CFileTransfer created in this process: its member layout, Reset, the task-id list, its
// window and the order of its event arguments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "core/errors/error_codes.h"
#include "filexfer/ocx/file_transfer.h"
#include "filexfer/ocx/guids.h"
#include "host/test_host.h"
#include "platform/com/event_sink.h"

namespace {

using namespace testhost;
using filexfer::CFileTransfer;
using filexfer::IFileTransfer;

std::string Lower(const char* s) {
  std::string r(s);
  for (char& c : r) c = char(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

TEST(FileTransferLayout, MembersStandInTheirOrderWithTheirIds) {
  const auto& t = IFileTransfer::DispatchTable();
  ASSERT_GE(t.count, 3u);
  EXPECT_STREQ(t.members[0].name, "About");
  EXPECT_EQ(t.members[0].id, -552);
  EXPECT_EQ(t.members[1].kind, plat::com::Kind::PUT);  // stock Enabled: put, then get
  EXPECT_EQ(t.members[2].kind, plat::com::Kind::GET);
  EXPECT_EQ(t.members[2].id, -514);
  std::string lastProperty, lastMethod;
  DISPID lastId = 0;
  int properties = 0, methods = 0;
  for (size_t i = 3; i < t.count; ++i) {
    const plat::com::DispMember& m = t.members[i];
    SCOPED_TRACE(m.name);
    EXPECT_GE(m.id, lastId);
    if (m.id <= 67) {
      EXPECT_NE(m.kind, plat::com::Kind::METHOD);
      if (m.id == lastId) {
        EXPECT_EQ(m.kind, plat::com::Kind::PUT);  // a property's read comes before its write
      } else {
        EXPECT_EQ(m.kind, plat::com::Kind::GET);
        EXPECT_EQ(m.id, lastId + 1);
        EXPECT_LT(lastProperty, Lower(m.name));
        lastProperty = Lower(m.name);
        ++properties;
      }
    } else if (m.id <= 106) {
      EXPECT_EQ(m.kind, plat::com::Kind::METHOD);
      EXPECT_EQ(m.id, lastId + 1);
      // Alphabetical, except that GetFileSize follows GetFileStatus.
      if (std::string(m.name) != "GetFileSize") {
        EXPECT_LT(lastMethod, Lower(m.name));
      }
      lastMethod = Lower(m.name);
      ++methods;
    } else {
      EXPECT_EQ(m.kind, plat::com::Kind::GET);
    }
    lastId = m.id;
  }
  EXPECT_EQ(properties, 67);
  EXPECT_EQ(methods, 39);
  EXPECT_STREQ(t.members[t.count - 2].name, "TransferBytesXL");
  EXPECT_STREQ(t.members[t.count - 1].name, "TransferRate");
}

TEST(TaskIdList, AddRemovePruneAbort) {
  filexfer::TaskIdList list;
  list.Add(0);  // ignored
  EXPECT_EQ(list.Count(), 0);
  for (uint32_t id = 1; id <= 129; ++id) list.Add(id);
  EXPECT_EQ(list.Count(), 128);
  EXPECT_EQ(list.LastId(), 129u);  // the 129th id becomes the last task id all the same
  EXPECT_EQ(list.At(127), 128u);

  list.Remove(500);  // not held
  EXPECT_EQ(list.Count(), 128);
  list.Remove(2);
  EXPECT_EQ(list.Count(), 127);
  EXPECT_EQ(list.At(0), 1u);
  EXPECT_EQ(list.At(1), 3u);
  EXPECT_EQ(list.At(126), 128u);

  // Prune keeps, in order, the tasks still running or suspended.
  list.Prune([](uint32_t id) { return id % 3 == 0 ? cvErrorTaskActive : id % 3 == 1 ? cvErrorTaskSuspended : 0u; });
  ASSERT_GE(list.Count(), 3);
  EXPECT_EQ(list.At(0), 1u);
  EXPECT_EQ(list.At(1), 3u);
  EXPECT_EQ(list.At(2), 4u);
  for (uint32_t id : list.Ids()) EXPECT_NE(id % 3, 2u);

  std::vector<uint32_t> aborted;
  size_t waited = 0;
  const int32_t before = list.Count();
  list.AbortAll([&](uint32_t id) { aborted.push_back(id); }, [&](std::span<const uint32_t> ids) { waited = ids.size(); });
  EXPECT_EQ(int32_t(aborted.size()), before);
  EXPECT_EQ(int32_t(waited), before);
  EXPECT_EQ(list.Count(), 0);
}

class FileTransferObjectTest : public RegistryFixture {
 protected:
  void SetUp() override {
    RegistryFixture::SetUp();
    ASSERT_EQ(ocx::CreateObject<CFileTransfer>(nullptr, filexfer::IID_IFileTransfer, reinterpret_cast<void**>(&itf_)),
              S_OK);
    ctl_ = static_cast<CFileTransfer*>(itf_);
  }
  void TearDown() override {
    if (itf_) itf_->Release();
    RegistryFixture::TearDown();
  }
  IFileTransfer* itf_ = nullptr;
  CFileTransfer* ctl_ = nullptr;
};

TEST_F(FileTransferObjectTest, ResetRestoresDefaultsAndKeepsWhatItShould) {
  ASSERT_EQ(itf_->Initialize(Missing(), nullptr), S_OK);
  ASSERT_TRUE(ctl_->IsInitialized());
  ctl_->SetLoginReplyCode(530);
  itf_->put_Enabled(VARIANT_FALSE);
  BSTR text = SysAllocString(u"x");
  for (auto put : {&IFileTransfer::put_Account, &IFileTransfer::put_Password, &IFileTransfer::put_ServerName,
                   &IFileTransfer::put_UserName, &IFileTransfer::put_Resource, &IFileTransfer::put_TraceFile,
                   &IFileTransfer::put_ProxyServer, &IFileTransfer::put_CertificateStore})
    (itf_->*put)(text);
  SysFreeString(text);
  itf_->put_ActivePort(1, 6000);
  itf_->put_Timeout(99);
  itf_->put_Passive(VARIANT_FALSE);
  itf_->put_Options(0x2000);
  itf_->put_Priority(4);
  itf_->put_ServerPort(443);
  itf_->put_Features(7);
  itf_->put_ThrowError(VARIANT_TRUE);
  itf_->put_LastError(12201);
  ctl_->TaskListAdd(17);
  BSTR version = nullptr;
  itf_->get_Version(&version);
  SysFreeString(version);
  ASSERT_NE(ctl_->Settings().timeout, 20);

  EXPECT_EQ(itf_->Reset(), S_OK);
  const filexfer::FileTransferSettings& s = ctl_->Settings();
  const filexfer::FileTransferSettings defaults;
  EXPECT_EQ(s.account, u"");
  EXPECT_EQ(s.password, u"");
  EXPECT_EQ(s.serverName, u"");
  EXPECT_EQ(s.userName, u"");
  EXPECT_EQ(s.resource, u"");
  EXPECT_EQ(s.traceFile, u"");
  EXPECT_EQ(s.proxyServer, u"");
  EXPECT_EQ(s.certificateStore, u"");
  EXPECT_EQ(s.version, u"");
  EXPECT_EQ(s.activePortLow, 1025u);
  EXPECT_EQ(s.activePortHigh, 4099u);
  EXPECT_EQ(s.timeout, 20);
  EXPECT_TRUE(s.passive);
  EXPECT_EQ(s.options, 0u);
  EXPECT_FALSE(s.secure);
  EXPECT_EQ(s.secureProtocol, 0u);
  EXPECT_EQ(s.priority, 2);
  EXPECT_EQ(s.serverPort, 0);
  EXPECT_EQ(s.serverType, 0);
  EXPECT_EQ(s.features, 0u);
  EXPECT_FALSE(s.featuresSet);
  EXPECT_FALSE(s.throwError);
  EXPECT_EQ(s.encoding, defaults.encoding);
  EXPECT_EQ(s.protocolVersion, 0x10000u);
  EXPECT_EQ(ctl_->LastErrorCode(), 0u);
  EXPECT_EQ(ctl_->Tasks().Count(), 0);
  EXPECT_EQ(ctl_->Tasks().LastId(), 0u);
  EXPECT_EQ(ctl_->Session(), kInvalidLibHandle);
  // Kept: the stock Enabled, the attached libraries, the reply code of the last failed login.
  VARIANT_BOOL enabled = VARIANT_TRUE;
  itf_->get_Enabled(&enabled);
  EXPECT_EQ(enabled, VARIANT_FALSE);
  EXPECT_TRUE(ctl_->IsInitialized());
  EXPECT_EQ(ctl_->LoginReplyCode(), 530u);
  int32_t code = 0;
  itf_->get_ResultCode(&code);
  EXPECT_EQ(code, 530);
  itf_->Uninitialize();
}

TEST_F(FileTransferObjectTest, WindowExistsAfterSitingOrAfterFirstUse) {
  EXPECT_EQ(ctl_->Window(), nullptr);
  ASSERT_EQ(itf_->Initialize(Missing(), nullptr), S_OK);  // used without a site
  EXPECT_TRUE(plat::IsWindow(ctl_->Window()));
  itf_->Uninitialize();

  IFileTransfer* other = nullptr;
  ASSERT_EQ(ocx::CreateObject<CFileTransfer>(nullptr, filexfer::IID_IFileTransfer, reinterpret_cast<void**>(&other)),
            S_OK);
  IOleObject* ole = nullptr;
  other->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&ole));
  auto* site = new TestSite;
  ole->SetClientSite(site);
  HWND w = static_cast<CFileTransfer*>(other)->Window();
  EXPECT_TRUE(plat::IsWindow(w));
  ole->SetClientSite(nullptr);
  ole->Release();
  other->Release();
  site->Release();
  EXPECT_FALSE(plat::IsWindow(w));
}

// Records the raw argument array an event arrives with.
class RawSink final : public IDispatch, public plat::com::RefCount {
 public:
  std::vector<VARIANT> args;
  DISPID id = 0;
  ~RawSink() override {
    for (VARIANT& v : args) VariantClear(&v);
  }
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    return plat::com::QueryFromTable(riid, ppv, {{&filexfer::DIID__IFileTransferEvents, this}, {&IID_IDispatch, this}});
  }
  CV_COM_REFCOUNT
  HRESULT GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT Invoke(DISPID dispid, REFIID, LCID lcid, WORD flags, DISPPARAMS* p, VARIANT*, EXCEPINFO*, UINT*) override {
    EXPECT_EQ(lcid, 0x400u);
    EXPECT_EQ(flags, DISPATCH_METHOD);
    id = dispid;
    for (UINT i = 0; i < p->cArgs; ++i) {
      VARIANT copy{};
      VariantCopy(&copy, &p->rgvarg[i]);
      args.push_back(copy);
    }
    return E_FAIL;  // a failing sink changes nothing for the control
  }
};

TEST_F(FileTransferObjectTest, OnCommandArrivesWithResultCodeAsTheLastElement) {
  auto* sink = new RawSink;
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(ctl_->FindConnectionPoint(filexfer::DIID__IFileTransferEvents, &cp), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(cp->Advise(static_cast<IDispatch*>(sink), &cookie), S_OK);
  VARIANT text = Str(u"200 OK");
  EXPECT_EQ(ctl_->Fire_OnCommand(I4(200), text), S_OK);
  VariantClear(&text);
  EXPECT_EQ(sink->id, 2);
  ASSERT_EQ(sink->args.size(), 2u);
  EXPECT_EQ(sink->args[1].vt, VT_I4);
  EXPECT_EQ(sink->args[1].lVal, 200);
  EXPECT_EQ(Text(sink->args[0]), u"200 OK");
  cp->Unadvise(cookie);
  cp->Release();
  sink->Release();
  // With no sink every firing operation still answers S_OK.
  EXPECT_EQ(ctl_->Fire_OnTimeout(), S_OK);
  EXPECT_EQ(ctl_->Fire_OnTaskEnd(I4(1), I4(2), I4(3)), S_OK);
}

TEST_F(FileTransferObjectTest, CancelWithoutConnectionFiresNothing) {
  int cancels = 0;
  auto* sink = plat::com::EventSink::Create(filexfer::DIID__IFileTransferEvents);
  sink->On(1, [&](const std::vector<const VARIANT*>&) { ++cancels; });
  ASSERT_EQ(sink->Connect(static_cast<IConnectionPointContainer*>(ctl_)), S_OK);
  VARIANT error{};
  EXPECT_EQ(itf_->Cancel(&error), S_OK);  // idle and unconnected: nothing fires
  EXPECT_EQ(cancels, 0);
  EXPECT_EQ(error.vt, VT_I4);
  sink->Disconnect();
  sink->Release();
}

}  // namespace
