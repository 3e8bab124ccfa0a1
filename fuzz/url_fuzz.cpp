// Builds download URLs from pieces of arbitrary bytes and encodes them both ways.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/gbk_text.h"
#include "net/url_encoding.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

int HexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

bool KeptByLocalScheme(unsigned char byte) {
  static const std::string_view kKept =
      "*,-./0123456789:@ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
  return kKept.find(static_cast<char>(byte)) != std::string_view::npos;
}

// Decodes "%XX" escapes; with onlyEscapedByUtf8Scheme, only those of bytes that
// the UTF-8 scheme escapes (0x80 and above, space).
std::string Decode(std::string_view text, bool onlyEscapedByUtf8Scheme) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && IsUpperHex(text[i + 1]) &&
        IsUpperHex(text[i + 2])) {
      const int value = HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]);
      if (!onlyEscapedByUtf8Scheme || value >= 0x80 || value == ' ') {
        out.push_back(static_cast<char>(value));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

void CheckLocalScheme(std::string_view input) {
  const std::string encoded = net::EncodeLocalScheme(input);
  for (size_t i = 0; i < encoded.size(); ++i) {
    if (encoded[i] == '%') {
      Check(i + 2 < encoded.size() && IsUpperHex(encoded[i + 1]) && IsUpperHex(encoded[i + 2]));
      i += 2;
    } else {
      Check(KeptByLocalScheme(static_cast<unsigned char>(encoded[i])));
    }
  }
  Check(Decode(encoded, false) == input);
}

void CheckUtf8Scheme(std::string_view input) {
  const std::string encoded = net::EncodeUtf8Scheme(input);
  Check(encoded.empty() == input.empty());
  for (const char c : encoded) Check(static_cast<unsigned char>(c) < 0x80 && c != ' ');
  // A "%" of the input stays as it is, so decoding is unambiguous only without one.
  if (input.find('%') == std::string_view::npos) {
    const std::string decoded = Decode(encoded, true);
    Check(decoded == input || base::GbkFromUtf8(decoded) == input);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  CheckLocalScheme(input);
  CheckUtf8Scheme(input);

  // Address, version and name are the input's first three lines.
  const size_t first = input.find('\n');
  if (first == std::string_view::npos) return 0;
  const size_t second = input.find('\n', first + 1);
  if (second == std::string_view::npos) return 0;
  const std::string_view addr = input.substr(0, first);
  const std::string_view version = input.substr(first + 1, second - first - 1);
  const std::string_view name = input.substr(second + 1);
  const std::string url = net::FileUrl(addr, version, name);
  Check(url.size() == addr.size() + version.size() + 1 + name.size());
  Check(url[addr.size() + version.size()] == '/');
  // Every backslash turns into a slash except the second byte of a character.
  const std::string joined = std::string(addr) + std::string(version) + "/" + std::string(name);
  for (size_t i = 0; i < url.size(); ++i) {
    if (static_cast<unsigned char>(joined[i]) >= 0x81 && i + 1 < url.size()) {
      Check(url[i] == joined[i] && url[i + 1] == joined[i + 1]);
      ++i;
    } else {
      Check(url[i] == (joined[i] == '\\' ? '/' : joined[i]));
    }
  }
  CheckLocalScheme(url);
  CheckUtf8Scheme(url);
  return 0;
}
