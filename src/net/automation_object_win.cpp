#include "net/automation_object_win.h"

#include <objbase.h>
#include <oleauto.h>
#include <ole2.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "base/wide_text_win.h"

namespace net {
namespace {

// In-process server and handler, local server, remote server; some systems
// refuse the remote bit outright, so creation is retried without it.
constexpr DWORD kAnyServer =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr DWORD kNonRemoteServer = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER;
static_assert(kAnyServer == 0x17 && kNonRemoteServer == 0x7);

constexpr LCID kNameLocale = LOCALE_USER_DEFAULT;
constexpr LCID kInvokeLocale = 0;
constexpr VARTYPE kByteArray = VT_ARRAY | VT_UI1;
constexpr VARTYPE kSignedByteArray = VT_ARRAY | VT_I1;

// How one argument reaches the callee.
enum class Passing { kValue, kReference, kVariantReference };

class TypeAttrHolder {
 public:
  explicit TypeAttrHolder(ITypeInfo* info) : info_(info) {
    if (FAILED(info_->GetTypeAttr(&attr_))) attr_ = nullptr;
  }
  ~TypeAttrHolder() {
    if (attr_ != nullptr) info_->ReleaseTypeAttr(attr_);
  }
  TypeAttrHolder(const TypeAttrHolder&) = delete;
  TypeAttrHolder& operator=(const TypeAttrHolder&) = delete;
  const TYPEATTR* Get() const { return attr_; }

 private:
  ITypeInfo* info_;
  TYPEATTR* attr_ = nullptr;
};

class FuncDescHolder {
 public:
  FuncDescHolder(ITypeInfo* info, UINT index) : info_(info) {
    if (FAILED(info_->GetFuncDesc(index, &desc_))) desc_ = nullptr;
  }
  ~FuncDescHolder() {
    if (desc_ != nullptr) info_->ReleaseFuncDesc(desc_);
  }
  FuncDescHolder(const FuncDescHolder&) = delete;
  FuncDescHolder& operator=(const FuncDescHolder&) = delete;
  const FUNCDESC* Get() const { return desc_; }

 private:
  ITypeInfo* info_;
  FUNCDESC* desc_ = nullptr;
};

class SafeArrayAccess {
 public:
  explicit SafeArrayAccess(SAFEARRAY* array) : array_(array) {
    if (FAILED(SafeArrayAccessData(array_, &data_))) data_ = nullptr;
  }
  ~SafeArrayAccess() {
    if (data_ != nullptr) SafeArrayUnaccessData(array_);
  }
  SafeArrayAccess(const SafeArrayAccess&) = delete;
  SafeArrayAccess& operator=(const SafeArrayAccess&) = delete;
  const void* Data() const { return data_; }

 private:
  SAFEARRAY* array_;
  void* data_ = nullptr;
};

Passing PassingOf(const TYPEDESC& type) {
  if (type.vt == VT_PTR) {
    const bool toVariant = type.lptdesc != nullptr && type.lptdesc->vt == VT_VARIANT;
    return toVariant ? Passing::kVariantReference : Passing::kReference;
  }
  if ((type.vt & VT_BYREF) != 0) {
    return (type.vt & ~VT_BYREF) == VT_VARIANT ? Passing::kVariantReference : Passing::kReference;
  }
  return Passing::kValue;
}

// Parameters declared as pointers or by reference take their argument by
// reference. Without type information everything goes by value.
std::vector<Passing> MethodParameterPassing(IDispatch* dispatch, DISPID member, size_t count) {
  std::vector<Passing> passing(count, Passing::kValue);
  base::ComPtr<ITypeInfo> info;
  if (FAILED(dispatch->GetTypeInfo(0, kNameLocale, info.Put())) || !info) return passing;
  TypeAttrHolder attr(info.Get());
  if (attr.Get() == nullptr) return passing;
  for (UINT index = 0; index < attr.Get()->cFuncs; ++index) {
    FuncDescHolder func(info.Get(), index);
    const FUNCDESC* desc = func.Get();
    if (desc == nullptr || desc->memid != member || desc->invkind != INVOKE_FUNC) continue;
    const size_t declared = std::min(count, static_cast<size_t>(desc->cParams));
    for (size_t i = 0; i < declared; ++i) passing[i] = PassingOf(desc->lprgelemdescParam[i].tdesc);
    break;
  }
  return passing;
}

HRESULT FillValue(const AutomationArg& arg, VARIANT& value) {
  switch (arg.kind) {
    case AutomationArg::Kind::kText: {
      base::BstrHolder text(base::WideFromGbk(arg.text));
      if (text.Get() == nullptr) return E_OUTOFMEMORY;
      V_VT(&value) = VT_BSTR;
      V_BSTR(&value) = text.Detach();
      return S_OK;
    }
    case AutomationArg::Kind::kInt32:
      V_VT(&value) = VT_I4;
      V_I4(&value) = arg.number;
      return S_OK;
    case AutomationArg::Kind::kBool:
      V_VT(&value) = VT_BOOL;
      V_BOOL(&value) = arg.flag ? VARIANT_TRUE : VARIANT_FALSE;
      return S_OK;
  }
  return E_INVALIDARG;
}

// Points a by-reference slot at the storage inside an owned value.
void PointAt(VARIANT& value, VARIANTARG& slot) {
  V_VT(&slot) = static_cast<VARTYPE>(VT_BYREF | V_VT(&value));
  switch (V_VT(&value)) {
    case VT_BSTR: V_BSTRREF(&slot) = &V_BSTR(&value); break;
    case VT_I4: V_I4REF(&slot) = &V_I4(&value); break;
    case VT_BOOL: V_BOOLREF(&slot) = &V_BOOL(&value); break;
    default: V_BYREF(&slot) = nullptr; break;
  }
}

double NumberFromVariant(const VARIANT& value) {
  switch (V_VT(&value)) {
    case VT_I1: return V_I1(&value);
    case VT_UI1: return V_UI1(&value);
    case VT_I2: return V_I2(&value);
    case VT_UI2: return V_UI2(&value);
    case VT_I4: return V_I4(&value);
    case VT_UI4: return V_UI4(&value);
    // The machine-sized integers are 4 bytes on this platform.
    case VT_INT: return V_INT(&value);
    case VT_UINT: return V_UINT(&value);
    case VT_R4: return V_R4(&value);
    case VT_R8: return V_R8(&value);
    case VT_CY: return static_cast<double>(V_CY(&value).int64) / 10000.0;
    case VT_DATE: return V_DATE(&value);
    case VT_BOOL: return V_BOOL(&value) != VARIANT_FALSE ? -1.0 : 0.0;
    default: return 0.0;
  }
}

std::vector<unsigned char> CopyBytes(SAFEARRAY* array) {
  if (array == nullptr || SafeArrayGetElemsize(array) != 1) return {};
  const UINT dimensions = SafeArrayGetDim(array);
  if (dimensions == 0) return {};
  unsigned long long count = 1;
  for (UINT dimension = 1; dimension <= dimensions; ++dimension) {
    LONG lower = 0;
    LONG upper = 0;
    if (FAILED(SafeArrayGetLBound(array, dimension, &lower)) ||
        FAILED(SafeArrayGetUBound(array, dimension, &upper))) {
      return {};
    }
    if (upper < lower) return {};
    count *= static_cast<unsigned long long>(static_cast<long long>(upper) - lower + 1);
    if (count > std::numeric_limits<size_t>::max()) return {};
  }
  SafeArrayAccess access(array);
  if (access.Data() == nullptr) return {};
  const auto* bytes = static_cast<const unsigned char*>(access.Data());
  return std::vector<unsigned char>(bytes, bytes + count);
}

}  // namespace

AutomationArg AutomationArg::Text(std::string gbk) {
  AutomationArg arg;
  arg.kind = Kind::kText;
  arg.text = std::move(gbk);
  return arg;
}

AutomationArg AutomationArg::Int32(std::int32_t value) {
  AutomationArg arg;
  arg.kind = Kind::kInt32;
  arg.number = value;
  return arg;
}

AutomationArg AutomationArg::Bool(bool value) {
  AutomationArg arg;
  arg.kind = Kind::kBool;
  arg.flag = value;
  return arg;
}

bool AutomationObject::Create(std::string_view progId) {
  Release();
  const std::wstring wide = base::WideFromGbk(progId);
  CLSID classId{};
  HRESULT result = CLSIDFromProgID(wide.c_str(), &classId);
  if (FAILED(result)) result = CLSIDFromString(wide.c_str(), &classId);
  if (FAILED(result)) {
    lastResult_ = result;
    return false;
  }

  base::ComPtr<IUnknown> unknown;
  result = CoCreateInstance(classId, nullptr, kAnyServer, IID_IUnknown, unknown.PutVoid());
  if (result == E_INVALIDARG) {
    result = CoCreateInstance(classId, nullptr, kNonRemoteServer, IID_IUnknown, unknown.PutVoid());
  }
  if (FAILED(result) || !unknown) {
    lastResult_ = FAILED(result) ? result : E_POINTER;
    return false;
  }

  // A local server may still be starting; OleRun waits for it. Objects that
  // are always running answer at once, so its outcome decides nothing.
  OleRun(unknown.Get());
  lastResult_ = unknown->QueryInterface(IID_IDispatch, dispatch_.PutVoid());
  if (FAILED(lastResult_)) dispatch_.Reset();
  return Held();
}

void AutomationObject::CallMethod(std::string_view member, const std::vector<AutomationArg>& args) {
  base::VariantHolder ignored;
  lastResult_ = Invoke(member, DISPATCH_METHOD, args, ignored);
}

double AutomationObject::GetNumber(std::string_view property, const std::vector<AutomationArg>& index) {
  base::VariantHolder value;
  lastResult_ = Invoke(property, DISPATCH_PROPERTYGET, index, value);
  return SUCCEEDED(lastResult_) ? NumberFromVariant(value.Get()) : 0.0;
}

void AutomationObject::SetProperty(std::string_view property, const std::vector<AutomationArg>& indexAndValue) {
  if (indexAndValue.empty()) {
    lastResult_ = E_INVALIDARG;
    return;
  }
  base::VariantHolder ignored;
  lastResult_ = Invoke(property, DISPATCH_PROPERTYPUT, indexAndValue, ignored);
}

base::VariantHolder AutomationObject::GetValue(std::string_view property) {
  base::VariantHolder value;
  lastResult_ = Invoke(property, DISPATCH_PROPERTYGET, {}, value);
  if (FAILED(lastResult_)) value.Put();
  return value;
}

void AutomationObject::Release() {
  dispatch_.Reset();
  lastResult_ = S_OK;
}

HRESULT AutomationObject::Invoke(std::string_view member, WORD kind,
                                 const std::vector<AutomationArg>& args, base::VariantHolder& result) {
  if (!dispatch_) return E_POINTER;
  base::ComPtr<IDispatch> dispatch;
  HRESULT hr = dispatch_->QueryInterface(IID_IDispatch, dispatch.PutVoid());
  if (FAILED(hr)) return hr;
  if (!dispatch) return E_POINTER;

  std::wstring name = base::WideFromGbk(member);
  LPOLESTR names[] = {name.data()};
  DISPID memberId = DISPID_UNKNOWN;
  hr = dispatch->GetIDsOfNames(IID_NULL, names, 1, kNameLocale, &memberId);
  if (FAILED(hr)) return hr;

  const size_t count = args.size();
  const std::vector<Passing> passing = kind == DISPATCH_METHOD
                                           ? MethodParameterPassing(dispatch.Get(), memberId, count)
                                           : std::vector<Passing>(count, Passing::kValue);

  // The values own their strings; the parameter block only borrows them, in
  // the reversed order the dispatch convention wants.
  std::vector<base::VariantHolder> values(count);
  std::vector<VARIANTARG> slots(count);
  for (size_t i = 0; i < count; ++i) {
    hr = FillValue(args[i], values[i].Get());
    if (FAILED(hr)) return hr;
    VARIANTARG& slot = slots[count - 1 - i];
    VariantInit(&slot);
    switch (passing[i]) {
      case Passing::kValue:
        slot = values[i].Get();
        break;
      case Passing::kReference:
        PointAt(values[i].Get(), slot);
        break;
      case Passing::kVariantReference:
        V_VT(&slot) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&slot) = &values[i].Get();
        break;
    }
  }

  DISPPARAMS params{};
  params.rgvarg = count > 0 ? slots.data() : nullptr;
  params.cArgs = static_cast<UINT>(count);
  // A property's new value is its one named argument, first in the block.
  DISPID valueName = DISPID_PROPERTYPUT;
  if (kind == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &valueName;
    params.cNamedArgs = 1;
  }
  EXCEPINFO exception{};
  UINT badArgument = 0;
  VARIANT* resultSlot = kind == DISPATCH_PROPERTYPUT ? nullptr : result.Put();
  hr = dispatch->Invoke(memberId, IID_NULL, kInvokeLocale, kind, &params, resultSlot, &exception,
                        &badArgument);
  SysFreeString(exception.bstrSource);
  SysFreeString(exception.bstrDescription);
  SysFreeString(exception.bstrHelpFile);
  return hr;
}

std::vector<unsigned char> VariantToBytes(const VARIANT& value) {
  const VARTYPE type = V_VT(&value);
  if (type == kByteArray || type == kSignedByteArray) return CopyBytes(V_ARRAY(&value));
  base::VariantHolder converted;
  if (FAILED(VariantChangeType(converted.Put(), const_cast<VARIANT*>(&value), 0, kByteArray)) ||
      converted.Type() != kByteArray) {
    return {};
  }
  return CopyBytes(V_ARRAY(&converted.Get()));
}

}  // namespace net
