#pragma once
// Whether a local file is the one the list names: its CRC-32 against the
// Hash and, in a signed list, its SHA-256 against the Sha256.
#include <string_view>

#include "files/file_signature.h"
#include "site/file_list.h"

namespace engine {

// Whether a local signature (files::FileSignature's text) matches a listed
// Hash: both denote the same 32-bit value. The Hash is 1 to 8 hexadecimal
// digits in any letter case, leading zeros allowed; anything else, and an
// empty signature (nothing there), matches nothing.
bool SignatureMatches(std::string_view signature, std::string_view hash);

// A file's SHA-256 as digits (files::FileDigest) against a listed Sha256:
// both exactly 64 hexadecimal digits naming the same value, letter case aside.
bool Sha256Matches(std::string_view local, std::string_view listed);

// A staged file is the listed one when both its CRC-32 and its SHA-256 match.
bool DigestMatches(const files::FileDigest& local, const FileEntry& entry);

}  // namespace engine
