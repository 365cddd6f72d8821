#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/com/event_sink.h"
#include "test_object.h"

using testcom::TestObject;

namespace {

struct Args {
  std::vector<VARIANT> v;  // in rgvarg order (last argument first)
  ~Args() {
    for (VARIANT& x : v) VariantClear(&x);
  }
  // Arguments in declared order; stored reversed as Automation passes them.
  Args& I4(int32_t x) {
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_I4;
    a.lVal = x;
    v.insert(v.begin(), a);
    return *this;
  }
  Args& Str(const char16_t* s) {
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_BSTR;
    a.bstrVal = SysAllocString(s);
    v.insert(v.begin(), a);
    return *this;
  }
  Args& Missing() {
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_ERROR;
    a.scode = DISP_E_PARAMNOTFOUND;
    v.insert(v.begin(), a);
    return *this;
  }
  Args& Ref(VARIANT* target) {
    VARIANT a;
    VariantInit(&a);
    a.vt = VT_BYREF | VT_VARIANT;
    a.pvarVal = target;
    v.insert(v.begin(), a);
    return *this;
  }
};

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override { object_ = new TestObject; }
  void TearDown() override { object_->Release(); }

  DISPID Id(const char16_t* name) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 12345;
    EXPECT_EQ(object_->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK);
    return id;
  }
  HRESULT Call(DISPID id, WORD flags, Args& args, VARIANT* result = nullptr, UINT* argErr = nullptr,
               EXCEPINFO* ei = nullptr, bool put = false) {
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS dp{args.v.empty() ? nullptr : args.v.data(), put ? &named : nullptr, UINT(args.v.size()),
                  put ? 1u : 0u};
    return object_->Invoke(id, IID_NULL, 0, flags, &dp, result, ei, argErr);
  }

  TestObject* object_;
};

}  // namespace

TEST_F(DispatchTest, NamesMatchWithoutCaseAndUnknownNamesFail) {
  EXPECT_EQ(Id(u"NAME"), 1);
  EXPECT_EQ(Id(u"describe"), 5);
  EXPECT_EQ(Id(u"aBoUt"), DISPID_ABOUTBOX);
  LPOLESTR names[] = {const_cast<LPOLESTR>(u"Nope"), const_cast<LPOLESTR>(u"x")};
  DISPID ids[2] = {7, 7};
  EXPECT_EQ(object_->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], DISPID_UNKNOWN);
  EXPECT_EQ(ids[1], DISPID_UNKNOWN);
  names[0] = const_cast<LPOLESTR>(u"Name");
  EXPECT_EQ(object_->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);  // no named arguments
  EXPECT_EQ(ids[0], 1);
  EXPECT_EQ(object_->GetIDsOfNames(IID_IDispatch, names, 1, 0, ids), DISP_E_UNKNOWNINTERFACE);
}

TEST_F(DispatchTest, PropertiesMethodsAndCoercion) {
  // A put needs the DISPID_PROPERTYPUT named argument; the value is coerced to the declared type.
  Args put;
  put.I4(1234);
  ASSERT_EQ(Call(1, DISPATCH_PROPERTYPUT, put, nullptr, nullptr, nullptr, true), S_OK);
  VARIANT r;
  Args none;
  ASSERT_EQ(Call(1, DISPATCH_METHOD | DISPATCH_PROPERTYGET, none, &r), S_OK);
  ASSERT_EQ(r.vt, VT_BSTR);
  EXPECT_EQ(std::u16string(r.bstrVal, SysStringLen(r.bstrVal)), u"1234");
  VariantClear(&r);
  EXPECT_EQ(Call(1, DISPATCH_PROPERTYPUT, put), DISP_E_PARAMNOTFOUND);  // named argument absent
  EXPECT_EQ(Call(3, DISPATCH_PROPERTYPUT, put, nullptr, nullptr, nullptr, true), DISP_E_MEMBERNOTFOUND);  // read-only
  EXPECT_EQ(Call(99, DISPATCH_METHOD, none), DISP_E_MEMBERNOTFOUND);
  ASSERT_EQ(Call(3, DISPATCH_PROPERTYGET, none, &r), S_OK);
  EXPECT_EQ(r.vt, VT_R8);
  EXPECT_EQ(r.dblVal, 0.5);

  // Indexed property: the index comes first, the put value is rgvarg[0].
  Args idxPut;
  idxPut.I4(2).Str(u"77");
  ASSERT_EQ(Call(2, DISPATCH_PROPERTYPUT, idxPut, nullptr, nullptr, nullptr, true), S_OK);
  Args idxGet;
  idxGet.Str(u"2");
  ASSERT_EQ(Call(2, DISPATCH_PROPERTYGET, idxGet, &r), S_OK);
  EXPECT_EQ(r.vt, VT_I4);
  EXPECT_EQ(r.lVal, 77);

  // Reversed arguments and a by-reference result.
  VARIANT sum;
  VariantInit(&sum);
  Args add;
  add.I4(40).Str(u"2").Ref(&sum);
  ASSERT_EQ(Call(4, DISPATCH_METHOD, add), S_OK);
  EXPECT_EQ(sum.vt, VT_I4);
  EXPECT_EQ(sum.lVal, 42);

  // Coercion failures name the argument by its rgvarg index.
  Args bad;
  bad.I4(1).Str(u"not a number");
  UINT argErr = 99;
  EXPECT_EQ(Call(4, DISPATCH_METHOD, bad, nullptr, &argErr), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(argErr, 0u);
  Args big;
  big.Str(u"3000000000").I4(1);
  EXPECT_EQ(Call(4, DISPATCH_METHOD, big, nullptr, &argErr), DISP_E_OVERFLOW);
  EXPECT_EQ(argErr, 1u);
  // A by-value boolean put from text.
  Args flag;
  flag.Str(u"true");
  ASSERT_EQ(Call(7, DISPATCH_PROPERTYPUT, flag, nullptr, nullptr, nullptr, true), S_OK);
  ASSERT_EQ(Call(7, DISPATCH_PROPERTYGET, none, &r), S_OK);
  EXPECT_EQ(r.boolVal, VARIANT_TRUE);
}

TEST_F(DispatchTest, OptionalAndMissingArguments) {
  struct Case {
    int given;  // 1: explicit missing marker; 2: with the option; 3: the option by reference
    const char16_t* expected;
  } cases[] = {{1, u"a:missing"}, {2, u"a:3"}, {3, u"a:3"}};
  for (const Case& c : cases) {
    VARIANT out, inner;
    VariantInit(&out);
    VariantInit(&inner);
    inner.vt = VT_I4;
    Args a;
    a.Str(u"a");
    if (c.given == 1) a.Missing();
    if (c.given == 2) a.I4(5);
    if (c.given == 3) a.Ref(&inner);
    a.Ref(&out);
    ASSERT_EQ(Call(5, DISPATCH_METHOD, a), S_OK) << c.given;
    ASSERT_EQ(out.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(out.bstrVal, SysStringLen(out.bstrVal)), c.expected);
    VariantClear(&out);
  }
  // Trailing optional arguments may be left off entirely; a missing result reaches the
  // method as a null pointer.
  Args textOnly;
  textOnly.Str(u"a");
  EXPECT_EQ(Call(5, DISPATCH_METHOD, textOnly), DISP_E_EXCEPTION);  // Describe refuses a null result
  // Counts and a missing required argument.
  Args none, tooMany;
  tooMany.I4(1).I4(2).I4(3).I4(4);
  EXPECT_EQ(Call(4, DISPATCH_METHOD, none), DISP_E_BADPARAMCOUNT);
  EXPECT_EQ(Call(4, DISPATCH_METHOD, tooMany), DISP_E_BADPARAMCOUNT);
  Args hole;
  hole.Missing().I4(2);
  EXPECT_EQ(Call(4, DISPATCH_METHOD, hole), DISP_E_PARAMNOTOPTIONAL);
}

TEST_F(DispatchTest, BadInputsAreRefused) {
  EXPECT_EQ(object_->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr, nullptr, nullptr), E_INVALIDARG);
  DISPPARAMS noArray{nullptr, nullptr, 2, 0};
  EXPECT_EQ(object_->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &noArray, nullptr, nullptr, nullptr), E_INVALIDARG);
  Args a;
  a.I4(1).I4(2);
  DISPPARAMS namedNull{a.v.data(), nullptr, 2, 1};
  EXPECT_EQ(object_->Invoke(4, IID_NULL, 0, DISPATCH_METHOD, &namedNull, nullptr, nullptr, nullptr), E_INVALIDARG);
  EXPECT_EQ(object_->Invoke(4, IID_IDispatch, 0, DISPATCH_METHOD, &namedNull, nullptr, nullptr, nullptr),
            DISP_E_UNKNOWNINTERFACE);
  // A by-reference argument with a null pointer, and an unknown variant type.
  Args nullRef;
  nullRef.I4(1).I4(2);
  nullRef.v[0].vt = VT_BYREF | VT_VARIANT;
  nullRef.v[0].pvarVal = nullptr;
  Args nullTyped;
  nullTyped.I4(1).I4(2);
  nullTyped.v[1].vt = VT_BYREF | VT_I4;
  nullTyped.v[1].plVal = nullptr;
  UINT argErr = 99;
  EXPECT_EQ(Call(4, DISPATCH_METHOD, nullRef, nullptr, &argErr), E_INVALIDARG);
  EXPECT_EQ(Call(4, DISPATCH_METHOD, nullTyped, nullptr, &argErr), E_INVALIDARG);
  EXPECT_EQ(argErr, 1u);
  Args oddType;
  oddType.I4(1).I4(2);
  oddType.v[1].vt = 0x7F;
  EXPECT_EQ(Call(4, DISPATCH_METHOD, oddType, nullptr, &argErr), DISP_E_BADVARTYPE);
  oddType.v[1].vt = VT_I4;
}

TEST_F(DispatchTest, FailureBecomesExceptionWithTheErrorObject) {
  Args a;
  a.I4(int32_t(0x800A017D));
  EXCEPINFO ei{};
  VARIANT r;
  ASSERT_EQ(Call(6, DISPATCH_METHOD, a, &r, nullptr, &ei), DISP_E_EXCEPTION);
  EXPECT_EQ(ei.scode, HRESULT(0x800A017D));
  EXPECT_EQ(std::u16string(ei.bstrSource, SysStringLen(ei.bstrSource)), u"Test.Object");
  EXPECT_EQ(std::u16string(ei.bstrDescription, SysStringLen(ei.bstrDescription)), u"failed on purpose");
  SysFreeString(ei.bstrSource);
  SysFreeString(ei.bstrDescription);
  SysFreeString(ei.bstrHelpFile);
  // The host can still read the error object afterwards.
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  GUID g;
  info->GetGUID(&g);
  EXPECT_TRUE(g == testcom::IID_ITestObject);
  info->Release();
  EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
  // An indexed get out of range: same path, no EXCEPINFO asked for.
  Args idx;
  idx.I4(9);
  EXPECT_EQ(Call(2, DISPATCH_PROPERTYGET, idx, &r), DISP_E_EXCEPTION);
  // A later successful call does not see the old error object.
  Args fine;
  fine.I4(1).I4(1);
  EXPECT_EQ(Call(4, DISPATCH_METHOD, fine), S_OK);
  EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
}

TEST_F(DispatchTest, EventsReachSinksInSubscriptionOrderWithArgumentsInDeclaredOrder) {
  std::vector<std::string> seen;
  auto* first = plat::com::EventSink::Create(testcom::DIID_ITestEvents);
  auto* second = plat::com::EventSink::Create(testcom::DIID_ITestEvents);
  for (auto [sink, tag] : {std::pair{first, "first"}, std::pair{second, "second"}}) {
    sink->On(testcom::DISPID_OnResult, [&seen, tag = std::string(tag)](const std::vector<const VARIANT*>& args) {
      ASSERT_EQ(args.size(), 2u);
      ASSERT_EQ(args[0]->vt, VT_I4);
      ASSERT_EQ(args[1]->vt, VT_BSTR);
      seen.push_back(tag + ":" + std::to_string(args[0]->lVal));
    });
    ASSERT_EQ(sink->Connect(static_cast<testcom::ITestObject*>(object_)), S_OK);
  }
  VARIANT out;
  VariantInit(&out);
  ASSERT_EQ(object_->Add(2, 3, &out), S_OK);
  EXPECT_EQ(seen, (std::vector<std::string>{"first:5", "second:5"}));
  // Enumerating the connections shows both; after one leaves only the other is called.
  IConnectionPoint* cp = nullptr;
  ASSERT_EQ(object_->FindConnectionPoint(testcom::DIID_ITestEvents, &cp), S_OK);
  IEnumConnections* e = nullptr;
  ASSERT_EQ(cp->EnumConnections(&e), S_OK);
  CONNECTDATA cd[3];
  ULONG n = 0;
  EXPECT_EQ(e->Next(3, cd, &n), S_FALSE);
  EXPECT_EQ(n, 2u);
  for (ULONG i = 0; i < n; ++i) cd[i].pUnk->Release();
  e->Release();
  EXPECT_EQ(cp->Unadvise(999), CONNECT_E_NOCONNECTION);
  cp->Release();
  ASSERT_EQ(first->Disconnect(), S_OK);
  seen.clear();
  object_->Add(1, 1, &out);
  EXPECT_EQ(seen, (std::vector<std::string>{"second:2"}));
  second->Disconnect();
  first->Release();
  second->Release();
}

TEST(DispatchLifetime, SinkReleasingTheObjectInsideAnEventIsSafe) {
  int before = testcom::g_objects;
  auto* object = new TestObject;  // the host's only reference
  auto* sink = plat::com::EventSink::Create(testcom::DIID_ITestEvents);
  ASSERT_EQ(sink->Connect(static_cast<testcom::ITestObject*>(object)), S_OK);
  bool fired = false;
  sink->On(testcom::DISPID_OnResult, [&](const std::vector<const VARIANT*>&) {
    fired = true;
    sink->Disconnect();
    object->Release();  // drop the host's last reference from inside the event
  });
  object->Add(1, 2, nullptr);
  EXPECT_TRUE(fired);
  EXPECT_EQ(testcom::g_objects, before);  // destroyed once the call returned
  sink->Release();
}
