#include "xml/xml_entities.h"

#include <cstring>

#include "base/byte_text.h"

namespace xml {
namespace {

bool IsLead(char byte) {
  return base::IsLeadByte(static_cast<unsigned char>(byte), base::kDocumentFirstLeadByte);
}

struct Entity {
  std::string_view sequence;
  char character;
};

// "&quote;" rather than the standard "&quot;": the server's documents are
// written that way, and the standard form is handed out unchanged.
constexpr Entity kEntities[] = {
    {"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'}, {"&apos;", '\''}, {"&quote;", '"'},
};

}  // namespace

std::string ReplaceEntities(std::string_view text) {
  if (std::memchr(text.data(), '&', text.size()) == nullptr) return std::string(text);
  std::string result;
  result.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    if (IsLead(text[i])) {
      result.append(text.substr(i, 2));
      i += 2;
      continue;
    }
    if (text[i] != '&') {
      const size_t runStart = i;
      while (i < text.size() && text[i] != '&' && !IsLead(text[i])) ++i;
      result.append(text.data() + runStart, i - runStart);
      continue;
    }
    // A pending sequence ends at its semicolon; another ampersand, a two-byte
    // character or the end of the text hands it out as written.
    size_t j = i + 1;
    while (j < text.size() && text[j] != ';' && text[j] != '&' && !IsLead(text[j])) ++j;
    if (j < text.size() && text[j] == ';') {
      const std::string_view sequence = text.substr(i, j + 1 - i);
      bool replaced = false;
      for (const Entity& entity : kEntities) {
        if (sequence == entity.sequence) {
          result.push_back(entity.character);
          replaced = true;
          break;
        }
      }
      if (!replaced) result.append(sequence);
      i = j + 1;
    } else {
      result.append(text.substr(i, j - i));
      i = j;
    }
  }
  return result;
}

std::string EncodeKey(std::string_view key) {
  std::string result;
  result.reserve(key.size());
  for (size_t i = 0; i < key.size(); ++i) {
    const char byte = key[i];
    if (IsLead(byte)) {
      result.append(key.substr(i, 2));
      ++i;
      continue;
    }
    switch (byte) {
      case '"': result += "&quote;"; break;
      case '&': result += "&amp;"; break;
      case '\'': result += "&apos;"; break;
      case '<': result += "&lt;"; break;
      case '>': result += "&gt;"; break;
      default: result.push_back(byte);
    }
  }
  return result;
}

}  // namespace xml
