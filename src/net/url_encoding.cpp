#include "net/url_encoding.h"

#include "base/byte_text.h"
#include "base/gbk_text.h"

namespace net {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr std::string_view kWebSchemes[] = {"http://", "https://"};

void AppendEscaped(unsigned char byte, std::string& out) {
  out.push_back('%');
  out.push_back(kHexDigits[byte >> 4]);
  out.push_back(kHexDigits[byte & 0x0F]);
}

std::string EscapeHighBytesAndSpace(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || byte == ' ') {
      AppendEscaped(byte, out);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool KeptByLocalScheme(unsigned char byte) {
  return byte == '*' || (byte >= ',' && byte <= ':') || (byte >= '@' && byte <= 'Z') ||
         byte == '_' || (byte >= 'a' && byte <= 'z');
}

}  // namespace

std::string FileUrl(std::string_view addr, std::string_view version, std::string_view name) {
  std::string url;
  url.reserve(addr.size() + version.size() + 1 + name.size());
  url.append(addr).append(version).append(1, '/').append(name);
  // A backslash byte can also be the second half of a GBK character (the names
  // come from the server's file list); that one is part of the name and must
  // reach the server encoded, not turned into a folder separator.
  for (size_t i = 0; i < url.size(); ++i) {
    if (base::IsLeadByte(static_cast<unsigned char>(url[i]), base::kDocumentFirstLeadByte)) {
      ++i;
    } else if (url[i] == '\\') {
      url[i] = '/';
    }
  }
  return url;
}

std::string EncodeUtf8Scheme(std::string_view gbkText) {
  if (gbkText.empty()) return {};
  // A name with a malformed or unmappable byte sequence must not turn into an
  // empty or altered address that is then requested as if it were right. The
  // host conversion refuses such input and the system one substitutes
  // characters, so only a conversion that converts back to the same bytes is
  // used. Otherwise the GBK bytes themselves are escaped: the request names
  // what the list named, and a server that does not have it answers so.
  const std::string utf8 = base::Utf8FromGbk(gbkText);
  const bool faithful = !utf8.empty() && base::GbkFromUtf8(utf8) == gbkText;
  return EscapeHighBytesAndSpace(faithful ? std::string_view(utf8) : gbkText);
}

std::string EncodeLocalScheme(std::string_view gbkText) {
  std::string out;
  out.reserve(gbkText.size() * 3);
  for (const char c : gbkText) {
    const auto byte = static_cast<unsigned char>(c);
    if (KeptByLocalScheme(byte)) {
      out.push_back(c);
    } else {
      AppendEscaped(byte, out);
    }
  }
  return out;
}

std::string EncodeUrl(std::string_view gbkText, bool utf8) {
  return utf8 ? EncodeUtf8Scheme(gbkText) : EncodeLocalScheme(gbkText);
}

bool IsWebAddress(std::string_view gbkAddress) {
  for (const std::string_view scheme : kWebSchemes) {
    if (gbkAddress.size() > scheme.size() &&
        base::AsciiLower(gbkAddress.substr(0, scheme.size()), base::kDocumentFirstLeadByte) == scheme) {
      return true;
    }
  }
  return false;
}

}  // namespace net
