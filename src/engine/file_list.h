#pragma once
// The server's file list: its text as fetched, its usable rows, and how a
// listed Hash is matched against a local file's signature.
#include <string>
#include <string_view>
#include <vector>

namespace xml {
class XmlDocument;
}

namespace engine {

// Below the program folder; downloads wait here until they are put in place.
inline constexpr char kStagingFolderName[] = "update\\";

struct FileEntry {
  std::string Name;  // relative to the program folder, "\" between folders
  std::string Hash;
  std::string Sha256 = {};  // signed lists only; "" where the list gives none
  int ListRow = 0;   // the operation-list row of its download, set by the window
};

// The body as list text: its bytes up to the first zero byte, with ASCII
// spaces and ideographic spaces (A1 A1) removed from both ends. Other white
// space stays.
std::string TrimListText(std::string_view body);

// Every child of "Files" with a non-empty Name and Hash, in document order.
// A child whose Name would leave the program folder (files::IsSafeRelativeName)
// is left out and its Name added to unsafeNames, when given.
std::vector<FileEntry> ReadServerFileList(const xml::XmlDocument& document,
                                          std::vector<std::string>* unsafeNames = nullptr);

// The folder an entry's file lies in below base (ending in "\"), ending in
// "\". The second byte of a two-byte character is never a separator (a plain
// search would cut "誠" in half and make a stray folder); "/", which Windows
// also reads as one, is written "\".
std::string FolderOfEntry(const std::string& base, const std::string& name);

// Whether a local signature (files::FileSignature's text) matches a listed
// Hash: both denote the same 32-bit value. The Hash is 1 to 8 hexadecimal
// digits in any letter case, leading zeros allowed; anything else, and an
// empty signature (nothing there), matches nothing.
bool SignatureMatches(std::string_view signature, std::string_view hash);

}  // namespace engine
