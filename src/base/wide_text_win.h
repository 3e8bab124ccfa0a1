#pragma once
// The boundary between the program's GBK byte texts and the W functions of
// Windows. Always code page 936, never CP_ACP, so a non-Chinese system still
// shows and opens the right names.
#include <string>
#include <string_view>

namespace base {

inline constexpr unsigned kGbkCodePage = 936;

std::wstring WideFromGbk(std::string_view gbk);
std::string GbkFromWide(std::wstring_view wide);
// "" when the text is not valid UTF-16 (a lone surrogate).
std::string Utf8FromWide(std::wstring_view wide);

}  // namespace base
