#include "updpub/publish/text_rules.h"

#include <cstdio>

#include "base/byte_text.h"
#include "base/gbk_text.h"
#include "files/path_text.h"
#include "site/file_list.h"

namespace updpub {
namespace {

constexpr size_t kMaxHashDigits = 8;

bool IsLead(char byte) {
  return base::IsLeadByte(static_cast<unsigned char>(byte), base::kDocumentFirstLeadByte);
}

bool IsControl(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  return value < 0x20 || value == 0x7F;
}

// Every two-byte character well formed and the whole text convertible both
// ways without change: what the updater's UTF-8 scheme calls faithful.
bool IsGbkText(std::string_view gbk) {
  for (size_t i = 0; i < gbk.size(); ++i) {
    const auto byte = static_cast<unsigned char>(gbk[i]);
    if (byte < base::kDocumentFirstLeadByte) continue;
    if (i + 1 == gbk.size() || !base::IsGbkPair(byte, static_cast<unsigned char>(gbk[++i]))) return false;
  }
  if (gbk.empty()) return true;
  const std::string utf8 = base::Utf8FromGbk(gbk);
  return !utf8.empty() && base::GbkFromUtf8(utf8) == gbk;
}

bool IsWindowsReservedCharacter(char byte) {
  switch (byte) {
    case '<': case '>': case '"': case '|': case '?': case '*': return true;
    default: return false;
  }
}

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 name devices whatever follows a dot.
bool IsDeviceName(std::string_view segment) {
  const size_t dot = segment.find('.');
  std::string stem = base::AsciiUpper(segment.substr(0, dot), base::kDocumentFirstLeadByte);
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '1' && stem[3] <= '9';
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         base::AsciiLower(text.substr(0, prefix.size()), base::kDocumentFirstLeadByte) == prefix;
}

bool IsTextSpace(char byte) { return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n'; }

}  // namespace

std::optional<std::string> FaithfulGbk(std::string_view utf8) {
  if (utf8.empty()) return std::string();
  std::string gbk = base::GbkFromUtf8(utf8);
  if (gbk.empty() || base::Utf8FromGbk(gbk) != utf8) return std::nullopt;
  return gbk;
}

std::string Shown(std::string_view gbk) {
  if (IsGbkText(gbk)) return gbk.empty() ? std::string() : base::Utf8FromGbk(gbk);
  std::string shown;
  for (const char c : gbk) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80 || IsControl(c)) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      shown += escaped;
    } else {
      shown.push_back(c);
    }
  }
  return shown;
}

std::string NameProblem(std::string_view gbkName, bool utf8Urls) {
  if (gbkName.empty()) return "the name is empty";
  if (!files::IsSafeRelativeName(gbkName)) return "the name leaves the program folder";
  if (!IsGbkText(gbkName)) return "the name is not text of the GBK code page";
  if (engine::IsInStagingFolder(gbkName))
    return "the name lies in the folder \"update\", where the updater stages its downloads and which it "
           "deletes after every update: the updater skips the file";
  size_t segmentStart = 0;
  for (size_t i = 0; i <= gbkName.size(); ++i) {
    const bool end = i == gbkName.size();
    if (!end && IsLead(gbkName[i])) {
      ++i;
      continue;
    }
    const char byte = end ? '\\' : gbkName[i];
    if (IsControl(byte)) return "the name holds a control character";
    if (byte == '=') return "the updater's reader ends an attribute value at '='";
    if (IsWindowsReservedCharacter(byte))
      return std::string("Windows file names cannot hold '") + byte + "'";
    if (utf8Urls && (byte == '%' || byte == '#'))
      return std::string("the UTF-8 URL scheme sends '") + byte + "' unescaped, so no server finds the file";
    if (byte != '\\') continue;
    const std::string_view segment = gbkName.substr(segmentStart, i - segmentStart);
    if (segment.empty()) return "the name has an empty folder name";
    if (segment.back() == '.' || segment.back() == ' ')
      return "Windows drops a trailing dot or space from a file or folder name";
    if (IsDeviceName(segment)) return "the name is a Windows device name";
    segmentStart = i + 1;
  }
  return {};
}

std::string VersionProblem(std::string_view version) {
  if (version.empty()) return "the version is empty";
  if (version == "." || version == "..") return "the version names no folder of its own";
  for (const char byte : version) {
    const bool allowed = (byte >= '0' && byte <= '9') || (byte >= 'A' && byte <= 'Z') ||
                         (byte >= 'a' && byte <= 'z') || byte == '.' || byte == '-' || byte == '_';
    if (!allowed)
      return "the version is a folder name in every address: use only letters, digits, '.', '-' and '_'";
  }
  if (version.back() == '.') return "Windows drops a trailing dot from a folder name";
  return {};
}

std::string AddrProblem(std::string_view addr, bool utf8Urls) {
  if (addr.empty()) return "the address is empty";
  if (!StartsWithNoCase(addr, "http://") && !StartsWithNoCase(addr, "https://"))
    return "the address does not start with http:// or https://";
  for (const char byte : addr) {
    const auto value = static_cast<unsigned char>(byte);
    if (value >= 0x80 || value <= 0x20 || value == 0x7F)
      return utf8Urls ? "the address holds a space or a character outside ASCII: write it percent-encoded"
                      : "the address holds a space or a character outside ASCII, which the local URL "
                        "scheme cannot send";
    if (byte == '=') return "the updater's reader ends an attribute value at '='";
    if (byte == '#') return "'#' ends the address: what follows it is never sent";
    if (byte == '"' || byte == '<' || byte == '>' || byte == '\\' || byte == '^' || byte == '`' ||
        byte == '{' || byte == '|' || byte == '}')
      return std::string("'") + byte + "' is not allowed in an address";
    if (!utf8Urls && (byte == '%' || byte == '?'))
      return std::string("the local URL scheme escapes the address's '") + byte +
             "' in file downloads but not in the file list's address, so they name different things";
  }
  if (addr.back() != '/') return "the address does not end in '/': the version is appended to it";
  return {};
}

std::string AttributeValueProblem(std::string_view gbk) {
  for (const char byte : gbk) {
    if (byte == '=') return "the updater's reader ends an attribute value at '='";
    if (IsControl(byte)) return "an attribute value cannot hold line breaks or control characters";
  }
  if (!IsGbkText(gbk)) return "the value is not text of the GBK code page";
  return {};
}

std::string TextValueProblem(std::string_view gbk, bool multiLine) {
  if (!gbk.empty() && (IsTextSpace(gbk.front()) || IsTextSpace(gbk.back())))
    return "the updater's reader drops white space at either end";
  for (const char byte : gbk) {
    if (multiLine && (byte == '\r' || byte == '\n' || byte == '\t')) continue;
    if (IsControl(byte))
      return multiLine ? "the text holds a control character" : "the text holds a line break or control character";
  }
  if (!IsGbkText(gbk)) return "the text is not text of the GBK code page";
  return {};
}

std::string FoldedName(std::string_view gbk) { return base::AsciiLower(gbk, base::kDocumentFirstLeadByte); }

std::optional<uint32_t> HashValue(std::string_view hash) {
  if (hash.empty() || hash.size() > kMaxHashDigits) return std::nullopt;
  uint32_t value = 0;
  for (const char c : hash) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0) return std::nullopt;
    value = value << 4 | static_cast<uint32_t>(digit);
  }
  return value;
}

}  // namespace updpub
