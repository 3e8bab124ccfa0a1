#include "files/long_path.h"

#include <vector>

namespace files {
namespace {

constexpr std::wstring_view kLongPrefix = L"\\\\?\\";
constexpr std::wstring_view kDevicePrefix = L"\\\\.\\";
constexpr std::wstring_view kNetworkPrefix = L"\\\\?\\UNC\\";

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

bool StartsWith(std::wstring_view text, std::wstring_view start) {
  return text.substr(0, start.size()) == start;
}

// The segments between separators; empty ones and "." are dropped, a
// trailing separator is remembered. False when a segment is one the system
// would read otherwise than the "\\?\" form does.
bool SplitSegments(std::wstring_view rest, std::vector<std::wstring_view>& segments, bool& trailing) {
  trailing = !rest.empty() && IsSeparator(rest.back());
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const std::wstring_view segment = rest.substr(start, end - start);
    if (segment == L"..") return false;
    if (!segment.empty() && segment != L".") {
      if (segment.back() == L'.' || segment.back() == L' ') return false;
      segments.push_back(segment);
    }
    start = end + 1;
  }
  return true;
}

std::wstring Joined(std::wstring head, const std::vector<std::wstring_view>& segments, bool trailing) {
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) head += L'\\';
    head += segments[i];
  }
  if (trailing && !segments.empty()) head += L'\\';
  return head;
}

}  // namespace

std::wstring LongPathForm(std::wstring_view path) {
  const std::wstring unchanged(path);
  if (StartsWith(path, kLongPrefix) || StartsWith(path, kDevicePrefix)) return unchanged;
  std::vector<std::wstring_view> segments;
  bool trailing = false;
  if (path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && IsSeparator(path[2])) {
    if (!SplitSegments(path.substr(3), segments, trailing)) return unchanged;
    // The root keeps its separator whether or not a name follows.
    return Joined(std::wstring(kLongPrefix) + path[0] + L":\\", segments, trailing);
  }
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    // "//?/" and "//./" are the device forms written with the other slash.
    if (path.size() >= 3 && (path[2] == L'?' || path[2] == L'.')) return unchanged;
    if (!SplitSegments(path.substr(2), segments, trailing) || segments.size() < 2) return unchanged;
    return Joined(std::wstring(kNetworkPrefix), segments, trailing);
  }
  return unchanged;
}

}  // namespace files
