#pragma once
// Helpers for the program's byte texts: GBK (code page 936) or ASCII.
// Case changes touch ASCII letters only; a lead byte is taken together with the
// byte after it so that neither byte of a two-byte character ever changes.
// Callers say where lead bytes begin, because the command line counts 0x80 as
// a lead byte while documents start at 0x81.
#include <string>
#include <string_view>

namespace base {

inline constexpr unsigned char kCommandLineFirstLeadByte = 0x80;
inline constexpr unsigned char kDocumentFirstLeadByte = 0x81;

inline bool IsLeadByte(unsigned char byte, unsigned char firstLeadByte) {
  return byte >= firstLeadByte;
}

// A well-formed GBK two-byte character: lead 0x81-0xFE, trail 0x40-0xFE
// other than 0x7F.
inline bool IsGbkPair(unsigned char lead, unsigned char trail) {
  return lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

std::string AsciiLower(std::string_view text, unsigned char firstLeadByte);
std::string AsciiUpper(std::string_view text, unsigned char firstLeadByte);

}  // namespace base
