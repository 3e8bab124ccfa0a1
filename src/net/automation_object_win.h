#pragma once
// Late-bound calls on an automation object through its dispatch interface.
// Names and text arguments are GBK; they cross to UTF-16 with code page 936.
// Nothing throws: every operation leaves its COM result code in LastResult().
#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/com_ptr_win.h"

namespace net {

// One argument of a call: a text, a signed 32-bit integer or a boolean.
struct AutomationArg {
  enum class Kind { kText, kInt32, kBool };

  static AutomationArg Text(std::string gbk);
  static AutomationArg Int32(std::int32_t value);
  static AutomationArg Bool(bool value);

  Kind kind = Kind::kInt32;
  std::string text;
  std::int32_t number = 0;
  bool flag = false;
};

class AutomationObject {
 public:
  AutomationObject() = default;
  AutomationObject(const AutomationObject&) = delete;
  AutomationObject& operator=(const AutomationObject&) = delete;
  AutomationObject(AutomationObject&&) = default;
  AutomationObject& operator=(AutomationObject&&) = default;

  // Creates the object named by a programmatic identifier or a class
  // identifier string; true when its dispatch interface is held.
  bool Create(std::string_view progId);

  // Calls a method; the outcome is only in LastResult().
  void CallMethod(std::string_view member, const std::vector<AutomationArg>& args = {});

  // Reads a property as a number: integers, reals, currency, date and
  // boolean (true is -1) by value; anything else, or a failed read, gives 0.
  // An indexed property takes its index as arguments.
  double GetNumber(std::string_view property, const std::vector<AutomationArg>& index = {});

  // Writes a property: the last argument is the value, any before it the
  // index. The outcome is only in LastResult().
  void SetProperty(std::string_view property, const std::vector<AutomationArg>& indexAndValue);

  // Reads a property as it is; empty when the read fails.
  base::VariantHolder GetValue(std::string_view property);

  // Drops the held interface and sets the result code to 0.
  void Release();

  bool Held() const { return static_cast<bool>(dispatch_); }
  HRESULT LastResult() const { return lastResult_; }

 private:
  HRESULT Invoke(std::string_view member, WORD kind, const std::vector<AutomationArg>& args,
                 base::VariantHolder& result);

  base::ComPtr<IDispatch> dispatch_;
  HRESULT lastResult_ = S_OK;
};

// The bytes of a byte-array variant, all dimensions in storage order. Any
// other variant is converted to a byte array first; empty when that fails.
std::vector<unsigned char> VariantToBytes(const VARIANT& value);

}  // namespace net
