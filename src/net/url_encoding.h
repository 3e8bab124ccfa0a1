#pragma once
// Download addresses of staged files: built from the server address, the
// version folder and the file's name in the list, then percent-encoded by one
// of two schemes chosen by the server's configuration. Also which addresses
// from the server may be handed to the system to open.
#include <string>
#include <string_view>

namespace net {

// addr + version + "/" + name with every "\" turned into "/"; not encoded yet.
std::string FileUrl(std::string_view addr, std::string_view version, std::string_view name);

// GBK text converted to UTF-8; then bytes of 0x80 and above and the space are
// written as "%XX", everything else ("%", "?", "#", "&" included) as it is.
// A text that does not convert faithfully keeps its own bytes instead.
std::string EncodeUtf8Scheme(std::string_view gbkText);

// GBK bytes one by one; only "*", ",", "-", ".", "/", digits, ":", "@", ASCII
// letters and "_" are kept, every other byte becomes "%XX".
std::string EncodeLocalScheme(std::string_view gbkText);

std::string EncodeUrl(std::string_view gbkText, bool utf8);

// Whether the address starts with "http://" or "https://" in any letter case
// and names something after it. Anything else (a local program, a UNC path,
// another scheme) must not be opened: the updater runs elevated.
bool IsWebAddress(std::string_view gbkAddress);

}  // namespace net
