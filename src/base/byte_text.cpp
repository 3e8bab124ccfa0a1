#include "base/byte_text.h"

namespace base {
namespace {

template <typename Change>
std::string ChangeAsciiCase(std::string_view text, unsigned char firstLeadByte, Change change) {
  std::string result(text);
  for (size_t i = 0; i < result.size(); ++i) {
    const auto byte = static_cast<unsigned char>(result[i]);
    if (IsLeadByte(byte, firstLeadByte)) {
      ++i;  // the trail byte may look like an ASCII letter; leave it alone
      continue;
    }
    result[i] = static_cast<char>(change(byte));
  }
  return result;
}

}  // namespace

std::string AsciiLower(std::string_view text, unsigned char firstLeadByte) {
  return ChangeAsciiCase(text, firstLeadByte, [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
  });
}

std::string AsciiUpper(std::string_view text, unsigned char firstLeadByte) {
  return ChangeAsciiCase(text, firstLeadByte, [](unsigned char c) {
    return (c >= 'a' && c <= 'z') ? c - ('a' - 'A') : c;
  });
}

}  // namespace base
