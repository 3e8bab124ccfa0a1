#include "net/automation_object_win.h"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "base/com_ptr_win.h"
#include "base/scoped_com_win.h"

namespace {

using net::AutomationArg;
using net::AutomationObject;
using base::ComPtr;
using base::VariantHolder;

// A class registered only inside this process for the length of a test.
constexpr CLSID kFakeClassId = {
    0x6b1f8a42, 0x3c5d, 0x4e7f, {0x9a, 0x0b, 0x1c, 0x2d, 0x3e, 0x4f, 0x50, 0x61}};
constexpr char kFakeClassIdText[] = "{6B1F8A42-3C5D-4E7F-9A0B-1C2D3E4F5061}";

constexpr DISPID kRecordId = 1;
constexpr DISPID kValueId = 2;
constexpr DISPID kFailsId = 3;

struct Call {
  WORD flags = 0;
  LCID locale = 0;
  std::vector<VARTYPE> types;          // as received, i.e. last argument first
  std::vector<VariantHolder> values;   // the same, references followed
  std::vector<DISPID> named;           // the named arguments' identifiers
};

// A dispatch object that records what reaches it. It lives on the stack of
// the test, so the reference count is only watched, never acted on.
class FakeDispatch : public IDispatch {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IDispatch) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references; }
  STDMETHODIMP_(ULONG) Release() override { return --references; }

  STDMETHODIMP GetTypeInfoCount(UINT* count) override {
    *count = typeInfo ? 1 : 0;
    return S_OK;
  }
  STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
    *info = typeInfo.Get();
    if (*info == nullptr) return E_NOTIMPL;
    (*info)->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID locale,
                             DISPID* ids) override {
    namesLocale = locale;
    const std::wstring name = count == 1 ? names[0] : L"";
    if (name == L"Record") *ids = kRecordId;
    else if (name == L"Value") *ids = kValueId;
    else if (name == L"Fails") *ids = kFailsId;
    else return DISP_E_UNKNOWNNAME;
    return S_OK;
  }
  STDMETHODIMP Invoke(DISPID id, REFIID, LCID locale, WORD flags, DISPPARAMS* params,
                      VARIANT* result, EXCEPINFO*, UINT*) override {
    Call call;
    call.flags = flags;
    call.locale = locale;
    for (UINT i = 0; i < params->cArgs; ++i) {
      call.types.push_back(V_VT(&params->rgvarg[i]));
      VariantHolder value;
      VariantCopyInd(value.Put(), &params->rgvarg[i]);
      call.values.push_back(std::move(value));
    }
    for (UINT i = 0; i < params->cNamedArgs; ++i) call.named.push_back(params->rgdispidNamedArgs[i]);
    calls.push_back(std::move(call));
    if (id == kValueId && result != nullptr) return VariantCopy(result, &value.Get());
    if (id == kFailsId) {
      // A careless callee: fills the result and still fails.
      if (result != nullptr) {
        V_VT(result) = VT_I4;
        V_I4(result) = 200;
      }
      return DISP_E_EXCEPTION;
    }
    return S_OK;
  }

  ULONG references = 0;
  LCID namesLocale = 0;
  std::vector<Call> calls;
  VariantHolder value;
  ComPtr<ITypeInfo> typeInfo;
};

class FakeFactory : public IClassFactory {
 public:
  explicit FakeFactory(FakeDispatch* object) : object_(object) {}
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (iid != IID_IUnknown && iid != IID_IClassFactory) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return object_->QueryInterface(iid, out);
  }
  STDMETHODIMP LockServer(BOOL) override { return S_OK; }

 private:
  FakeDispatch* object_;
};

class AutomationObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(com_.Ok());
    ASSERT_HRESULT_SUCCEEDED(CoRegisterClassObject(kFakeClassId, &factory_, CLSCTX_INPROC_SERVER,
                                                   REGCLS_MULTIPLEUSE, &cookie_));
  }
  void TearDown() override {
    if (cookie_ != 0) CoRevokeClassObject(cookie_);
  }

  // Declares Record(BSTR text, long* number, VARIANT* flag).
  void DeclareRecordWithReferences() {
    static PARAMDATA params[] = {{const_cast<OLECHAR*>(L"text"), VT_BSTR},
                                 {const_cast<OLECHAR*>(L"number"), VT_BYREF | VT_I4},
                                 {const_cast<OLECHAR*>(L"flag"), VT_BYREF | VT_VARIANT}};
    static METHODDATA methods[] = {{const_cast<OLECHAR*>(L"Record"), params, kRecordId, 0,
                                    CC_STDCALL, 3, DISPATCH_METHOD, VT_EMPTY}};
    INTERFACEDATA data{methods, 1};
    ComPtr<ITypeInfo> coclass;
    ASSERT_HRESULT_SUCCEEDED(CreateDispTypeInfo(&data, LOCALE_SYSTEM_DEFAULT, coclass.Put()));
    // What comes back describes the class; the object hands out its interface.
    HREFTYPE interfaceRef = 0;
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeOfImplType(0, &interfaceRef));
    ASSERT_HRESULT_SUCCEEDED(coclass->GetRefTypeInfo(interfaceRef, fake_.typeInfo.Put()));
  }

  base::ScopedCom com_;
  FakeDispatch fake_;
  FakeFactory factory_{&fake_};
  DWORD cookie_ = 0;
};

TEST_F(AutomationObjectTest, CreatesFromClassIdTextAndReleasesEveryReference) {
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  EXPECT_TRUE(object.Held());
  EXPECT_EQ(object.LastResult(), S_OK);
  const ULONG held = fake_.references;
  EXPECT_GE(held, 1u);

  object.CallMethod("Record", {AutomationArg::Int32(1)});
  object.GetNumber("Value");
  object.GetValue("Value");
  EXPECT_EQ(fake_.references, held);

  object.Release();
  EXPECT_FALSE(object.Held());
  EXPECT_EQ(object.LastResult(), S_OK);
  EXPECT_EQ(fake_.references, 0u);

  {
    AutomationObject scoped;
    ASSERT_TRUE(scoped.Create(kFakeClassIdText));
    ASSERT_TRUE(scoped.Create(kFakeClassIdText));  // the first reference is dropped
    EXPECT_EQ(fake_.references, held);
  }
  EXPECT_EQ(fake_.references, 0u);
}

TEST_F(AutomationObjectTest, UnknownProgIdIsNotCreated) {
  AutomationObject object;
  EXPECT_FALSE(object.Create("NoSuch.Automation.Object.1"));
  EXPECT_FALSE(object.Held());
  EXPECT_TRUE(FAILED(object.LastResult()));

  EXPECT_FALSE(object.Create("{00000000-1111-2222-3333-444444444444}"));
  EXPECT_TRUE(FAILED(object.LastResult()));
}

TEST_F(AutomationObjectTest, WithoutObjectNothingIsCalled) {
  AutomationObject object;
  object.CallMethod("Record", {AutomationArg::Int32(1)});
  EXPECT_EQ(object.LastResult(), E_POINTER);
  EXPECT_EQ(object.GetNumber("Value"), 0.0);
  EXPECT_EQ(object.LastResult(), E_POINTER);
  EXPECT_TRUE(object.GetValue("Value").Empty());
  EXPECT_EQ(object.LastResult(), E_POINTER);
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(AutomationObjectTest, UnknownMemberIsReportedAndNotInvoked) {
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  EXPECT_EQ(object.GetNumber("Missing"), 0.0);
  EXPECT_EQ(object.LastResult(), DISP_E_UNKNOWNNAME);
  object.CallMethod("Missing");
  EXPECT_EQ(object.LastResult(), DISP_E_UNKNOWNNAME);
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(AutomationObjectTest, FailedReadGivesNothingEvenIfTheCalleeFilledIt) {
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  EXPECT_EQ(object.GetNumber("Fails"), 0.0);
  EXPECT_EQ(object.LastResult(), DISP_E_EXCEPTION);
  EXPECT_TRUE(object.GetValue("Fails").Empty());
  EXPECT_EQ(object.LastResult(), DISP_E_EXCEPTION);
}

TEST_F(AutomationObjectTest, MethodArgumentsArriveReversedAndTyped) {
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  object.CallMethod("Record", {AutomationArg::Text("甲GET"), AutomationArg::Int32(-7),
                               AutomationArg::Bool(true)});
  EXPECT_EQ(object.LastResult(), S_OK);

  EXPECT_EQ(fake_.namesLocale, static_cast<LCID>(LOCALE_USER_DEFAULT));
  ASSERT_EQ(fake_.calls.size(), 1u);
  const Call& call = fake_.calls[0];
  EXPECT_EQ(call.flags, DISPATCH_METHOD);
  EXPECT_EQ(call.locale, 0u);
  ASSERT_EQ(call.types, (std::vector<VARTYPE>{VT_BOOL, VT_I4, VT_BSTR}));
  EXPECT_EQ(V_BOOL(&call.values[0].Get()), VARIANT_TRUE);
  EXPECT_EQ(V_I4(&call.values[1].Get()), -7);
  EXPECT_EQ(std::wstring(V_BSTR(&call.values[2].Get())), L"\x7532GET");
}

TEST_F(AutomationObjectTest, DeclaredReferenceParametersGetReferences) {
  DeclareRecordWithReferences();
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  object.CallMethod("Record", {AutomationArg::Text("x"), AutomationArg::Int32(42),
                               AutomationArg::Bool(false)});

  ASSERT_EQ(fake_.calls.size(), 1u);
  const Call& call = fake_.calls[0];
  ASSERT_EQ(call.types, (std::vector<VARTYPE>{VT_BYREF | VT_VARIANT, VT_BYREF | VT_I4, VT_BSTR}));
  EXPECT_EQ(V_VT(&call.values[0].Get()), VT_BOOL);
  EXPECT_EQ(V_BOOL(&call.values[0].Get()), VARIANT_FALSE);
  EXPECT_EQ(V_I4(&call.values[1].Get()), 42);
  EXPECT_EQ(std::wstring(V_BSTR(&call.values[2].Get())), L"x");

  // Property reads carry no arguments and never consult the declarations.
  object.GetNumber("Value");
  ASSERT_EQ(fake_.calls.size(), 2u);
  EXPECT_EQ(fake_.calls[1].flags, DISPATCH_PROPERTYGET);
  EXPECT_TRUE(fake_.calls[1].types.empty());
}

struct NumberCase {
  const char* name;
  void (*fill)(VARIANT&);
  double expected;
};

void PrintTo(const NumberCase& value, std::ostream* out) { *out << value.name; }

class GetNumberTest : public AutomationObjectTest,
                      public ::testing::WithParamInterface<NumberCase> {};

TEST_P(GetNumberTest, ConvertsPropertyValue) {
  GetParam().fill(*fake_.value.Put());
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  EXPECT_DOUBLE_EQ(object.GetNumber("Value"), GetParam().expected);
  EXPECT_EQ(object.LastResult(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, GetNumberTest,
    ::testing::Values(
        NumberCase{"I2", [](VARIANT& v) { V_VT(&v) = VT_I2; V_I2(&v) = -300; }, -300},
        NumberCase{"UI2", [](VARIANT& v) { V_VT(&v) = VT_UI2; V_UI2(&v) = 65535; }, 65535},
        NumberCase{"I4", [](VARIANT& v) { V_VT(&v) = VT_I4; V_I4(&v) = 200; }, 200},
        NumberCase{"UI4", [](VARIANT& v) { V_VT(&v) = VT_UI4; V_UI4(&v) = 4000000000u; }, 4e9},
        NumberCase{"I1", [](VARIANT& v) { V_VT(&v) = VT_I1; V_I1(&v) = -5; }, -5},
        NumberCase{"UI1", [](VARIANT& v) { V_VT(&v) = VT_UI1; V_UI1(&v) = 250; }, 250},
        NumberCase{"R4", [](VARIANT& v) { V_VT(&v) = VT_R4; V_R4(&v) = 1.5f; }, 1.5},
        NumberCase{"R8", [](VARIANT& v) { V_VT(&v) = VT_R8; V_R8(&v) = 199.9999999; }, 199.9999999},
        NumberCase{"Currency", [](VARIANT& v) { V_VT(&v) = VT_CY; V_CY(&v).int64 = 2000000; }, 200},
        NumberCase{"Date", [](VARIANT& v) { V_VT(&v) = VT_DATE; V_DATE(&v) = 45000.25; }, 45000.25},
        NumberCase{"True", [](VARIANT& v) { V_VT(&v) = VT_BOOL; V_BOOL(&v) = VARIANT_TRUE; }, -1},
        NumberCase{"False", [](VARIANT& v) { V_VT(&v) = VT_BOOL; V_BOOL(&v) = VARIANT_FALSE; }, 0},
        NumberCase{"Text", [](VARIANT& v) { V_VT(&v) = VT_BSTR; V_BSTR(&v) = SysAllocString(L"200"); }, 0},
        NumberCase{"Error", [](VARIANT& v) { V_VT(&v) = VT_ERROR; V_ERROR(&v) = 200; }, 0},
        NumberCase{"Empty", [](VARIANT& v) { V_VT(&v) = VT_EMPTY; }, 0},
        NumberCase{"Long64", [](VARIANT& v) { V_VT(&v) = VT_I8; V_I8(&v) = 200; }, 0}),
    [](const ::testing::TestParamInfo<NumberCase>& info) { return std::string(info.param.name); });

TEST_F(AutomationObjectTest, GetValueHandsOutTheVariant) {
  V_VT(&fake_.value.Get()) = VT_BSTR;
  V_BSTR(&fake_.value.Get()) = SysAllocString(L"body");
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  const VariantHolder value = object.GetValue("Value");
  ASSERT_EQ(value.Type(), VT_BSTR);
  EXPECT_EQ(std::wstring(V_BSTR(&value.Get())), L"body");
}

// Option(9) = value, as the request object's indexed property is set: the
// value travels first and named as the property's new value.
TEST_F(AutomationObjectTest, SetPropertyNamesTheValueAfterTheIndex) {
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  object.SetProperty("Value", {AutomationArg::Int32(9), AutomationArg::Int32(0xA80)});
  EXPECT_EQ(object.LastResult(), S_OK);
  ASSERT_EQ(fake_.calls.size(), 1u);
  const Call& call = fake_.calls[0];
  EXPECT_EQ(call.flags, DISPATCH_PROPERTYPUT);
  EXPECT_EQ(call.named, std::vector<DISPID>{DISPID_PROPERTYPUT});
  ASSERT_EQ(call.types, (std::vector<VARTYPE>{VT_I4, VT_I4}));
  EXPECT_EQ(V_I4(&call.values[0].Get()), 0xA80);
  EXPECT_EQ(V_I4(&call.values[1].Get()), 9);
}

TEST_F(AutomationObjectTest, SetPropertyWithoutValueCallsNothing) {
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  object.SetProperty("Value", {});
  EXPECT_EQ(object.LastResult(), E_INVALIDARG);
  EXPECT_TRUE(fake_.calls.empty());
}

TEST_F(AutomationObjectTest, IndexedReadPassesTheIndexUnnamed) {
  V_VT(&fake_.value.Get()) = VT_I4;
  V_I4(&fake_.value.Get()) = 0x800;
  AutomationObject object;
  ASSERT_TRUE(object.Create(kFakeClassIdText));
  EXPECT_EQ(object.GetNumber("Value", {AutomationArg::Int32(9)}), 2048.0);
  ASSERT_EQ(fake_.calls.size(), 1u);
  EXPECT_EQ(fake_.calls[0].flags, DISPATCH_PROPERTYGET);
  EXPECT_TRUE(fake_.calls[0].named.empty());
  ASSERT_EQ(fake_.calls[0].values.size(), 1u);
  EXPECT_EQ(V_I4(&fake_.calls[0].values[0].Get()), 9);
}

TEST(AutomationObjectSystem, CreatesTheHttpRequestObject) {
  base::ScopedCom com;
  ASSERT_TRUE(com.Ok());
  AutomationObject object;
  EXPECT_TRUE(object.Create("WinHttp.WinHttpRequest.5.1"));
  EXPECT_EQ(object.LastResult(), S_OK);
  // No request was sent, so there is no status to read.
  EXPECT_NE(object.GetNumber("Status"), 200.0);
}

// Wraps a new byte array in a variant that owns it.
VariantHolder ByteArray(VARTYPE element, const std::vector<SAFEARRAYBOUND>& bounds,
                        const std::vector<unsigned char>& bytes) {
  VariantHolder holder;
  SAFEARRAY* array = SafeArrayCreate(element, static_cast<UINT>(bounds.size()),
                                     const_cast<SAFEARRAYBOUND*>(bounds.data()));
  if (array == nullptr) return holder;
  V_VT(&holder.Get()) = VT_ARRAY | element;
  V_ARRAY(&holder.Get()) = array;
  void* data = nullptr;
  if (!bytes.empty() && SUCCEEDED(SafeArrayAccessData(array, &data))) {
    std::memcpy(data, bytes.data(), bytes.size());
    SafeArrayUnaccessData(array);
  }
  return holder;
}

TEST(VariantToBytes, CopiesArrayWhoseLowerBoundIsNotZero) {
  const std::vector<unsigned char> bytes{0x00, 0xFF, 0x7F, 0x80, 0x0A};
  const VariantHolder value = ByteArray(VT_UI1, {{5, 3}}, bytes);
  ASSERT_EQ(value.Type(), VT_ARRAY | VT_UI1);
  EXPECT_EQ(net::VariantToBytes(value.Get()), bytes);
}

TEST(VariantToBytes, CopiesEveryDimensionInStorageOrder) {
  const std::vector<unsigned char> bytes{1, 2, 3, 4, 5, 6};
  // SAFEARRAYBOUND is {element count, lower bound}.
  const VariantHolder value = ByteArray(VT_UI1, {{3, -1}, {2, 7}}, bytes);
  ASSERT_EQ(value.Type(), VT_ARRAY | VT_UI1);
  EXPECT_EQ(net::VariantToBytes(value.Get()), bytes);
}

TEST(VariantToBytes, TakesSignedBytesAsTheyAre) {
  const std::vector<unsigned char> bytes{0x80, 0x01};
  const VariantHolder value = ByteArray(VT_I1, {{2, 0}}, bytes);
  ASSERT_EQ(value.Type(), VT_ARRAY | VT_I1);
  EXPECT_EQ(net::VariantToBytes(value.Get()), bytes);
}

TEST(VariantToBytes, EmptyArrayGivesNoBytes) {
  const VariantHolder value = ByteArray(VT_UI1, {{0, 0}}, {});
  ASSERT_EQ(value.Type(), VT_ARRAY | VT_UI1);
  EXPECT_TRUE(net::VariantToBytes(value.Get()).empty());
}

TEST(VariantToBytes, ConvertsTextToItsStoredBytes) {
  VariantHolder value;
  V_VT(&value.Get()) = VT_BSTR;
  V_BSTR(&value.Get()) = SysAllocString(L"A\x7532");
  EXPECT_EQ(net::VariantToBytes(value.Get()),
            (std::vector<unsigned char>{0x41, 0x00, 0x32, 0x75}));
}

TEST(VariantToBytes, UnconvertibleValueGivesNoBytes) {
  VariantHolder number;
  V_VT(&number.Get()) = VT_I4;
  V_I4(&number.Get()) = 200;
  EXPECT_TRUE(net::VariantToBytes(number.Get()).empty());
  EXPECT_TRUE(net::VariantToBytes(VariantHolder().Get()).empty());
}

}  // namespace
