#pragma once
// What the updater can use: names, versions, addresses and texts, each
// checked against the way the updater reads and fetches them. Publishing
// refuses what these reject and checking reports it, so both say the same.
// Texts are GBK (the updater's own) unless a name says UTF-8.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace updpub {

// The GBK text of a UTF-8 text when code page 936 holds every character and
// converts back to the same UTF-8; nothing otherwise.
std::optional<std::string> FaithfulGbk(std::string_view utf8);

// A GBK text as UTF-8 for messages; bytes that are no GBK text are shown as
// "\xNN".
std::string Shown(std::string_view gbk);

// Each gives "" when the updater can use the value, else the reason.

// A file's Name in the list ("\" between folders), fetched by the given URL
// scheme and written to a Windows folder.
std::string NameProblem(std::string_view gbkName, bool utf8Urls);

// The version: a folder on every server and part of every address.
std::string VersionProblem(std::string_view version);

// A server's Addr: the version and the file's name are appended to it, and
// the file downloads are percent-encoded by the scheme as a whole.
std::string AddrProblem(std::string_view addr, bool utf8Urls);

// A value written as an attribute (a server's Name).
std::string AttributeValueProblem(std::string_view gbk);

// A value written as an element's text; multiLine allows CR, LF and tabs
// inside it.
std::string TextValueProblem(std::string_view gbk, bool multiLine);

// ASCII letters lowered; both bytes of a GBK character kept.
std::string FoldedName(std::string_view gbk);

// The value a Hash denotes, when it is 1 to 8 hexadecimal digits.
std::optional<uint32_t> HashValue(std::string_view hash);

}  // namespace updpub
