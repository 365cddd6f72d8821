// The in-memory type library built from a member table: what a host reads through ITypeLib
// and ITypeInfo about a dual interface, an event interface, a class and enumerations.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/base/utf.h"
#include "platform/com/type_library.h"
#include "test_object.h"

namespace {

using namespace testcom;

#define ITESTEVENTS_EVENTS(X) X(OnResult, 1, "Code,Text", p::Var, p::VarRef)
CV_EVENT_INTERFACE(ITestEvents, ITESTEVENTS_EVENTS)

constexpr GUID kLibId = {0x6C1B7E52, 0x3D0A, 0x4F51, {0x9B, 0x0E, 0x7A, 0x1D, 0x2C, 0x3B, 0x4A, 0x04}};
constexpr plat::com::TypeConstant kColours[] = {{"colourRed", 1}, {"colourBlue", -2}};

const plat::com::TypeLibDesc& Library() {
  static const plat::com::TypeLibDesc lib{
      kLibId, "TestObjectLib", 2, 1, CLSID_TestObject, "TestObject", "Test object",
      {IID_ITestObject, "ITestObject", &ITestObject::DispatchTable()},
      {DIID_ITestEvents, "_ITestEvents", &ITestEvents::DispatchTable()},
      {{"ColourConstants", kColours, "Colours"}, {"EmptyConstants", {}}},
  };
  return lib;
}

std::string Utf8(BSTR s) { return s ? plat::ToUtf8(std::u16string_view(s, SysStringLen(s))) : "(null)"; }

std::vector<std::string> Names(ITypeInfo* info, MEMBERID id) {
  BSTR names[8] = {};
  UINT count = 0;
  EXPECT_EQ(info->GetNames(id, names, 8, &count), S_OK);
  std::vector<std::string> out;
  for (UINT i = 0; i < count; ++i) {
    out.push_back(Utf8(names[i]));
    SysFreeString(names[i]);
  }
  return out;
}

class TypeLibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(plat::com::GetTypeLibOf(Library(), &lib_), S_OK);
    ASSERT_EQ(plat::com::GetTypeInfoOf(Library(), plat::com::TypeLibPart::Dual, &dual_), S_OK);
  }
  void TearDown() override {
    if (dual_) dual_->Release();
    if (lib_) lib_->Release();
  }
  FUNCDESC* Func(ITypeInfo* info, UINT index) {
    FUNCDESC* f = nullptr;
    EXPECT_EQ(info->GetFuncDesc(index, &f), S_OK);
    return f;
  }
  ITypeLib* lib_ = nullptr;
  ITypeInfo* dual_ = nullptr;
};

TEST_F(TypeLibraryTest, DispatchViewDescribesEveryMemberOfTheList) {
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(dual_->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_DISPATCH);
  EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
  EXPECT_TRUE(IsEqualGUID(attr->guid, IID_ITestObject));
  EXPECT_EQ(attr->cFuncs, 11);
  dual_->ReleaseTypeAttr(attr);

  // Item get (slot 3): the index is an argument, the result is the function's value.
  FUNCDESC* itemGet = Func(dual_, 3);
  EXPECT_EQ(itemGet->memid, 2);
  EXPECT_EQ(itemGet->invkind, INVOKE_PROPERTYGET);
  EXPECT_EQ(itemGet->funckind, FUNC_DISPATCH);
  ASSERT_EQ(itemGet->cParams, 1);
  EXPECT_EQ(itemGet->lprgelemdescParam[0].tdesc.vt, VT_I4);
  EXPECT_EQ(itemGet->elemdescFunc.tdesc.vt, VT_I4);
  // Item put: the index and then the value.
  FUNCDESC* itemPut = Func(dual_, 4);
  EXPECT_EQ(itemPut->invkind, INVOKE_PROPERTYPUT);
  EXPECT_EQ(itemPut->cParams, 2);
  // Add: two numbers in, an optional by-reference result.
  FUNCDESC* add = Func(dual_, 6);
  EXPECT_EQ(add->invkind, INVOKE_FUNC);
  EXPECT_EQ(add->elemdescFunc.tdesc.vt, VT_VOID);
  ASSERT_EQ(add->cParams, 3);
  EXPECT_EQ(add->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FIN);
  const ELEMDESC& sum = add->lprgelemdescParam[2];
  EXPECT_EQ(sum.tdesc.vt, VT_PTR);
  EXPECT_EQ(sum.tdesc.lptdesc->vt, VT_VARIANT);
  EXPECT_EQ(sum.paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FOPT);
  dual_->ReleaseFuncDesc(itemGet);
  dual_->ReleaseFuncDesc(itemPut);
  dual_->ReleaseFuncDesc(add);

  EXPECT_EQ(Names(dual_, 4), (std::vector<std::string>{"Add", "A", "B", "Sum"}));
  EXPECT_EQ(Names(dual_, 2), (std::vector<std::string>{"Item", "Index"}));
  FUNCDESC* none = nullptr;
  EXPECT_EQ(dual_->GetFuncDesc(11, &none), TYPE_E_ELEMENTNOTFOUND);
  UINT count = 0;
  BSTR name = nullptr;
  EXPECT_EQ(dual_->GetNames(99, &name, 1, &count), TYPE_E_ELEMENTNOTFOUND);

  // Member and argument names map to the member's id and the arguments' positions.
  LPOLESTR wanted[] = {const_cast<LPOLESTR>(u"ADD"), const_cast<LPOLESTR>(u"sum"), const_cast<LPOLESTR>(u"a")};
  MEMBERID ids[3];
  EXPECT_EQ(dual_->GetIDsOfNames(wanted, 3, ids), S_OK);
  EXPECT_EQ(ids[0], 4);
  EXPECT_EQ(ids[1], 2);
  EXPECT_EQ(ids[2], 0);
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(u"Add"), const_cast<LPOLESTR>(u"Total")};
  EXPECT_EQ(dual_->GetIDsOfNames(unknown, 2, ids), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(ids[0], 4);
  EXPECT_EQ(ids[1], MEMBERID_NIL);
}

TEST_F(TypeLibraryTest, VtableViewReturnsHresultsAndKeepsResultArguments) {
  HREFTYPE ref = 0;
  ASSERT_EQ(dual_->GetRefTypeOfImplType(UINT(-1), &ref), S_OK);
  ITypeInfo* vtable = nullptr;
  ASSERT_EQ(dual_->GetRefTypeInfo(ref, &vtable), S_OK);
  TYPEATTR* attr = nullptr;
  ASSERT_EQ(vtable->GetTypeAttr(&attr), S_OK);
  EXPECT_EQ(attr->typekind, TKIND_INTERFACE);
  EXPECT_EQ(attr->cbSizeVft, (7 + 11) * sizeof(void*));
  vtable->ReleaseTypeAttr(attr);

  FUNCDESC* nameGet = Func(vtable, 1);
  EXPECT_EQ(nameGet->funckind, FUNC_PUREVIRTUAL);
  EXPECT_EQ(nameGet->oVft, SHORT(8 * sizeof(void*)));
  EXPECT_EQ(nameGet->elemdescFunc.tdesc.vt, VT_HRESULT);
  ASSERT_EQ(nameGet->cParams, 1);
  EXPECT_EQ(nameGet->lprgelemdescParam[0].tdesc.vt, VT_PTR);
  EXPECT_EQ(nameGet->lprgelemdescParam[0].tdesc.lptdesc->vt, VT_BSTR);
  EXPECT_EQ(nameGet->lprgelemdescParam[0].paramdesc.wParamFlags, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL);
  vtable->ReleaseFuncDesc(nameGet);

  // The way back leads to the dispatch view.
  ASSERT_EQ(vtable->GetRefTypeOfImplType(UINT(-1), &ref), S_OK);
  ITypeInfo* back = nullptr;
  ASSERT_EQ(vtable->GetRefTypeInfo(ref, &back), S_OK);
  EXPECT_EQ(back, dual_);
  back->Release();
  vtable->Release();
}

TEST_F(TypeLibraryTest, LibraryHoldsEnumerationsAliasesEventsAndTheClass) {
  TLIBATTR* libAttr = nullptr;
  ASSERT_EQ(lib_->GetLibAttr(&libAttr), S_OK);
  EXPECT_TRUE(IsEqualGUID(libAttr->guid, kLibId));
  EXPECT_EQ(libAttr->wMajorVerNum, 2);
  EXPECT_EQ(libAttr->wMinorVerNum, 1);
  lib_->ReleaseTLibAttr(libAttr);
  BSTR name = nullptr;
  ASSERT_EQ(lib_->GetDocumentation(-1, &name, nullptr, nullptr, nullptr), S_OK);
  EXPECT_EQ(Utf8(name), "TestObjectLib");
  SysFreeString(name);

  // Two enumerations (the first with its alias), the dual and event interfaces, the class.
  ASSERT_EQ(lib_->GetTypeInfoCount(), 6u);
  const TYPEKIND expected[] = {TKIND_ENUM, TKIND_ALIAS, TKIND_ENUM, TKIND_DISPATCH, TKIND_DISPATCH, TKIND_COCLASS};
  for (UINT i = 0; i < 6; ++i) {
    TYPEKIND kind;
    ASSERT_EQ(lib_->GetTypeInfoType(i, &kind), S_OK);
    EXPECT_EQ(kind, expected[i]) << i;
  }

  ITypeInfo* colours = nullptr;
  ASSERT_EQ(lib_->GetTypeInfo(0, &colours), S_OK);
  VARDESC* blue = nullptr;
  ASSERT_EQ(colours->GetVarDesc(1, &blue), S_OK);
  EXPECT_EQ(blue->varkind, VAR_CONST);
  EXPECT_EQ(blue->lpvarValue->vt, VT_I4);
  EXPECT_EQ(blue->lpvarValue->lVal, -2);
  EXPECT_EQ(Names(colours, blue->memid), (std::vector<std::string>{"colourBlue"}));
  colours->ReleaseVarDesc(blue);
  ITypeInfo* alias = nullptr;
  ASSERT_EQ(lib_->GetTypeInfo(1, &alias), S_OK);
  TYPEATTR* aliasAttr = nullptr;
  ASSERT_EQ(alias->GetTypeAttr(&aliasAttr), S_OK);
  ASSERT_EQ(aliasAttr->tdescAlias.vt, VT_USERDEFINED);
  ITypeInfo* target = nullptr;
  ASSERT_EQ(alias->GetRefTypeInfo(aliasAttr->tdescAlias.hreftype, &target), S_OK);
  EXPECT_EQ(target, colours);
  target->Release();
  alias->ReleaseTypeAttr(aliasAttr);
  alias->Release();
  colours->Release();

  // The class implements the dual interface by default and sources the events.
  ITypeInfo* coclass = nullptr;
  ASSERT_EQ(lib_->GetTypeInfoOfGuid(CLSID_TestObject, &coclass), S_OK);
  INT flags = 0;
  HREFTYPE ref = 0;
  ASSERT_EQ(coclass->GetImplTypeFlags(1, &flags), S_OK);
  EXPECT_EQ(flags, IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE);
  ASSERT_EQ(coclass->GetRefTypeOfImplType(1, &ref), S_OK);
  ITypeInfo* events = nullptr;
  ASSERT_EQ(coclass->GetRefTypeInfo(ref, &events), S_OK);
  EXPECT_EQ(Names(events, 1), (std::vector<std::string>{"OnResult", "Code", "Text"}));
  FUNCDESC* onResult = Func(events, 0);
  EXPECT_EQ(onResult->lprgelemdescParam[1].paramdesc.wParamFlags, PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FOPT);
  events->ReleaseFuncDesc(onResult);
  events->Release();
  ITypeLib* containing = nullptr;
  UINT index = 0;
  ASSERT_EQ(coclass->GetContainingTypeLib(&containing, &index), S_OK);
  EXPECT_EQ(containing, lib_);
  EXPECT_EQ(index, 5u);
  containing->Release();
  coclass->Release();

  // Names are found across the library, in the library's spelling.
  char16_t buffer[] = u"ADD";
  BOOL found = 0;
  ASSERT_EQ(lib_->IsName(buffer, 0, &found), S_OK);
  EXPECT_TRUE(found);
  EXPECT_EQ(std::u16string(buffer), u"Add");
  char16_t colourName[] = u"colourred";
  ITypeInfo* where[2] = {};
  MEMBERID ids[2] = {};
  USHORT count = 2;
  ASSERT_EQ(lib_->FindName(colourName, 0, where, ids, &count), S_OK);
  ASSERT_EQ(count, 1);
  EXPECT_EQ(Names(where[0], ids[0]), (std::vector<std::string>{"colourRed"}));
  where[0]->Release();
  ITypeInfo* missing = nullptr;
  EXPECT_EQ(lib_->GetTypeInfoOfGuid(GUID_NULL, &missing), TYPE_E_ELEMENTNOTFOUND);
}

TEST_F(TypeLibraryTest, InvokeThroughTheTypeInformationCallsTheObject) {
  auto* object = new TestObject;
  VARIANT sum;
  VariantInit(&sum);
  VARIANT args[3];
  args[2].vt = VT_I4;  // A: arguments arrive last first
  args[2].lVal = 2;
  args[1].vt = VT_I4;
  args[1].lVal = 40;
  args[0].vt = VT_BYREF | VT_VARIANT;
  args[0].pvarVal = &sum;
  DISPPARAMS params{args, nullptr, 3, 0};
  EXPECT_EQ(dual_->Invoke(static_cast<ITestObject*>(object), 4, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr),
            S_OK);
  EXPECT_EQ(sum.vt, VT_I4);
  EXPECT_EQ(sum.lVal, 42);
  object->Release();
}

}  // namespace
