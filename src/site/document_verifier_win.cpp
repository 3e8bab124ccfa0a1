#include "site/document_verifier_win.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "digests/sha256_win.h"
#include "resources/resource_ids.h"
#include "site/public_key.h"
#include "site/signed_documents.h"

namespace engine {
namespace {

// The base64 between the PEM's armour lines, decoded; empty when it is none.
std::vector<unsigned char> DerFromPem(std::string_view pem) {
  if (pem.empty() || pem.size() > MAXDWORD) return {};
  const auto length = static_cast<DWORD>(pem.size());
  DWORD size = 0;
  if (!CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    return {};
  }
  std::vector<unsigned char> der(size);
  if (!CryptStringToBinaryA(pem.data(), length, CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr,
                            nullptr)) {
    return {};
  }
  der.resize(size);
  return der;
}

// BCRYPT_ECCPUBLIC_BLOB: the header, then X and Y.
std::vector<unsigned char> PublicBlob(const EcPoint& point) {
  BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, static_cast<ULONG>(kPointCoordinateSize)};
  std::vector<unsigned char> blob(sizeof(header) + point.size());
  std::memcpy(blob.data(), &header, sizeof(header));
  std::memcpy(blob.data() + sizeof(header), point.data(), point.size());
  return blob;
}

}  // namespace

CngDocumentVerifier::CngDocumentVerifier(std::string_view pem) {
  const std::vector<unsigned char> der = DerFromPem(pem);
  const std::optional<EcPoint> point =
      PointFromSpki(std::string_view(reinterpret_cast<const char*>(der.data()), der.size()));
  if (!point) return;
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0))) return;
  algorithm_.reset(algorithm);
  std::vector<unsigned char> blob = PublicBlob(*point);
  BCRYPT_KEY_HANDLE key = nullptr;
  if (BCRYPT_SUCCESS(BCryptImportKeyPair(algorithm_.get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, blob.data(),
                                         static_cast<ULONG>(blob.size()), 0))) {
    key_.reset(key);
  }
}

bool CngDocumentVerifier::Verify(std::string_view document, std::string_view signature) const {
  if (!key_ || !IsSignatureForm(signature)) return false;
  files::Sha256Digest digest{};
  if (!files::CngSha256Of(document.data(), document.size(), &digest)) return false;
  // The provider takes the signature as r||s, the form it is stored in.
  unsigned char rs[kSignatureSize];
  std::memcpy(rs, signature.data(), sizeof(rs));
  return BCRYPT_SUCCESS(BCryptVerifySignature(key_.get(), nullptr, digest.data(),
                                              static_cast<ULONG>(digest.size()), rs, sizeof(rs), 0));
}

std::vector<std::string> EmbeddedPublicKeyPems() {
  std::vector<std::string> pems;
  for (int id = IDR_PUBLIC_KEY_FIRST; id < IDR_PUBLIC_KEY_FIRST + PUBLIC_KEY_COUNT_MAX; ++id) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), RT_RCDATA);
    // The build numbers the keys without a gap.
    if (!found) break;
    // A loaded resource belongs to the module and is never freed.
    HGLOBAL loaded = LoadResource(nullptr, found);
    const auto* bytes = static_cast<const char*>(loaded ? LockResource(loaded) : nullptr);
    // Kept in its place, even empty, so a key that cannot be read is told.
    pems.push_back(bytes ? std::string(bytes, SizeofResource(nullptr, found)) : std::string());
  }
  return pems;
}

}  // namespace engine
