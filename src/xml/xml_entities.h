#pragma once
// The two directions in which the reader translates entities: texts handed
// out have five sequences replaced, and keys given by callers are encoded so
// that they compare equal to names as written in the document.
#include <string>
#include <string_view>

namespace xml {

// Replaces "&lt;", "&gt;", "&amp;", "&apos;" and "&quote;" in one pass from
// the start; every other ampersand sequence is kept as written.
std::string ReplaceEntities(std::string_view text);

// Writes '"', '&', '\'', '<' and '>' as the sequences above; two-byte
// characters pass unchanged.
std::string EncodeKey(std::string_view key);

}  // namespace xml
