#include "updpub/keys/key_files.h"

#include <system_error>

#include "updpub/keys/crypto.h"

namespace updpub {
namespace {

// Created empty and closed to its owner before the key goes in, so the key
// is never readable by others, not even for a moment.
bool WritePrivateFile(const fs::path& path, const std::string& bytes, std::string& error) {
  if (!WriteWholeFile(path, "", error)) return false;
  std::error_code code;
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace, code);
  if (code) {
    error = "cannot restrict access: " + code.message();
    return false;
  }
  return WriteWholeFile(path, bytes, error);
}

}  // namespace

KeygenResult WriteKeyPair(const std::string& nameUtf8, bool force) {
  KeygenResult result;
  result.privateKey = HostPath(nameUtf8 + kPrivateKeySuffix);
  result.publicKey = HostPath(nameUtf8 + kPublicKeySuffix);
  if (!force) {
    for (const fs::path& path : {result.privateKey, result.publicKey}) {
      std::error_code code;
      if (fs::exists(fs::symlink_status(path, code))) {
        result.exitCode = kKeysRefused;
        result.message = Utf8Path(path) + " exists (--force replaces it)";
        return result;
      }
    }
  }
  crypto::KeyPair keys;
  std::string error;
  if (!crypto::GenerateKeyPair(keys, error)) {
    result.exitCode = kKeysFailed;
    result.message = error;
    return result;
  }
  // A pair is written whole or not at all: half a pair is removed.
  if (!WriteWholeFile(result.publicKey, keys.publicPem, error)) {
    result.exitCode = kKeysFailed;
    result.message = Utf8Path(result.publicKey) + ": " + error;
    std::error_code ignored;
    fs::remove(result.publicKey, ignored);
    return result;
  }
  if (!WritePrivateFile(result.privateKey, keys.privatePem, error)) {
    result.exitCode = kKeysFailed;
    result.message = Utf8Path(result.privateKey) + ": " + error;
    std::error_code ignored;
    fs::remove(result.privateKey, ignored);
    fs::remove(result.publicKey, ignored);
  }
  return result;
}

}  // namespace updpub
