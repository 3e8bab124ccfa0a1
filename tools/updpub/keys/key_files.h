#pragma once
// "updpub keygen": a new key pair written as NAME.key (private, readable by
// its owner only where the system can say so) and NAME.pub.
#include <string>

#include "updpub/host/host_files.h"

namespace updpub {

// Exit codes of "updpub keygen".
enum KeygenExit : int {
  kKeysWritten = 0,
  kKeysRefused = 1,  // a key file exists and force was not given; nothing written
  kKeygenUsage = 2,
  kKeysFailed = 3    // making or writing failed; no key file is left behind
};

inline constexpr char kPrivateKeySuffix[] = ".key";
inline constexpr char kPublicKeySuffix[] = ".pub";

struct KeygenResult {
  int exitCode = kKeysWritten;
  std::string message;  // UTF-8: what was refused or failed
  fs::path privateKey;
  fs::path publicKey;
};

KeygenResult WriteKeyPair(const std::string& nameUtf8, bool force);

}  // namespace updpub
