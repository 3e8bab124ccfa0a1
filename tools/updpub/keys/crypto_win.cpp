// The Windows build's signatures: CNG. Keys pass through the shared codec,
// so this build accepts and writes exactly what the host build does.
#include <windows.h>

#include <bcrypt.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "updpub/keys/crypto.h"
#include "updpub/keys/key_codec.h"

namespace updpub::crypto {
namespace {

constexpr ULONG kKeyBits = 256;
constexpr size_t kCoordinateBytes = 32;

bool Succeeded(NTSTATUS status) { return status >= 0; }

// One owner per CNG handle kind; copying deleted, so nothing is closed twice.
template <typename Handle, NTSTATUS(WINAPI* Close)(Handle)>
class Owned {
 public:
  Owned() = default;
  ~Owned() {
    if (handle_ != nullptr) Close(handle_);
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  Handle get() const { return handle_; }
  Handle* put() { return &handle_; }

 private:
  Handle handle_ = nullptr;
};

NTSTATUS WINAPI CloseProvider(BCRYPT_ALG_HANDLE handle) { return BCryptCloseAlgorithmProvider(handle, 0); }
using Provider = Owned<BCRYPT_ALG_HANDLE, CloseProvider>;
using Key = Owned<BCRYPT_KEY_HANDLE, BCryptDestroyKey>;
using Hash = Owned<BCRYPT_HASH_HANDLE, BCryptDestroyHash>;

std::string StatusText(const char* what, NTSTATUS status) {
  char text[64];
  std::snprintf(text, sizeof text, "%s failed (NTSTATUS 0x%08lX)", what, static_cast<unsigned long>(status));
  return text;
}

// BCRYPT_ECCKEY_BLOB header, X, Y and, for a private blob, d.
std::vector<UCHAR> KeyBlob(ULONG magic, const Point& point, const Scalar* scalar) {
  BCRYPT_ECCKEY_BLOB header{magic, static_cast<ULONG>(kCoordinateBytes)};
  std::vector<UCHAR> blob(sizeof header);
  std::memcpy(blob.data(), &header, sizeof header);
  blob.insert(blob.end(), point.begin() + 1, point.end());
  if (scalar != nullptr) blob.insert(blob.end(), scalar->begin(), scalar->end());
  return blob;
}

bool ImportKey(const Provider& provider, LPCWSTR type, std::vector<UCHAR>& blob, Key& key) {
  return Succeeded(BCryptImportKeyPair(provider.get(), nullptr, type, key.put(), blob.data(),
                                       static_cast<ULONG>(blob.size()), 0));
}

}  // namespace

struct Sha256::State {
  Provider provider;
  Hash hash;
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
  if (Succeeded(BCryptOpenAlgorithmProvider(state_->provider.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
    BCryptCreateHash(state_->provider.get(), state_->hash.put(), nullptr, 0, nullptr, 0, 0);
}

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) {
  // BCryptHashData takes at most 4 GiB at a time and a non-const pointer.
  auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
  while (size > 0 && state_->hash.get() != nullptr) {
    const ULONG piece = size > 0x40000000 ? 0x40000000 : static_cast<ULONG>(size);
    BCryptHashData(state_->hash.get(), bytes, piece, 0);
    bytes += piece;
    size -= piece;
  }
}

Digest Sha256::Finish() {
  Digest digest{};
  if (state_->hash.get() != nullptr)
    BCryptFinishHash(state_->hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
  return digest;
}

bool GenerateKeyPair(KeyPair& keys, std::string& error) {
  Provider provider;
  Key key;
  NTSTATUS status = BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  if (Succeeded(status)) status = BCryptGenerateKeyPair(provider.get(), key.put(), kKeyBits, 0);
  if (Succeeded(status)) status = BCryptFinalizeKeyPair(key.get(), 0);
  ULONG size = 0;
  if (Succeeded(status)) status = BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, nullptr, 0, &size, 0);
  std::vector<UCHAR> blob(size);
  if (Succeeded(status))
    status = BCryptExportKey(key.get(), nullptr, BCRYPT_ECCPRIVATE_BLOB, blob.data(), size, &size, 0);
  if (!Succeeded(status)) {
    error = StatusText("making the key", status);
    return false;
  }
  BCRYPT_ECCKEY_BLOB header{};
  if (size != sizeof header + 3 * kCoordinateBytes) {
    error = "the system exported a key of an unexpected size";
    return false;
  }
  std::memcpy(&header, blob.data(), sizeof header);
  PrivateKeyParts parts;
  parts.point[0] = 0x04;
  std::memcpy(parts.point.data() + 1, blob.data() + sizeof header, 2 * kCoordinateBytes);
  std::memcpy(parts.scalar.data(), blob.data() + sizeof header + 2 * kCoordinateBytes, kCoordinateBytes);
  keys.privatePem = PrivateKeyPem(parts);
  keys.publicPem = PublicKeyPem(parts.point);
  return true;
}

bool Sign(std::string_view privatePem, std::string_view data, std::string& signature, std::string& error) {
  PrivateKeyParts parts;
  if (!ParsePrivateKeyPem(privatePem, parts)) {
    error = "not a P-256 private key (PKCS#8 PEM with its public point)";
    return false;
  }
  Provider provider;
  Key key;
  std::vector<UCHAR> blob = KeyBlob(BCRYPT_ECDSA_PRIVATE_P256_MAGIC, parts.point, &parts.scalar);
  NTSTATUS status = BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  if (Succeeded(status) && !ImportKey(provider, BCRYPT_ECCPRIVATE_BLOB, blob, key)) {
    SecureZeroMemory(blob.data(), blob.size());
    error = "the system refuses the private key";
    return false;
  }
  SecureZeroMemory(blob.data(), blob.size());
  Digest digest = Sha256Of(data);
  signature.assign(kSignatureBytes, '\0');
  ULONG size = 0;
  if (Succeeded(status))
    status = BCryptSignHash(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                            reinterpret_cast<PUCHAR>(signature.data()), kSignatureBytes, &size, 0);
  if (!Succeeded(status) || size != kSignatureBytes) {
    error = StatusText("signing", status);
    return false;
  }
  return true;
}

Verdict Verify(std::string_view publicPem, std::string_view data, std::string_view signature) {
  Point point;
  if (!ParsePublicKeyPem(publicPem, point)) return Verdict::kBadKey;
  if (signature.size() != kSignatureBytes) return Verdict::kMalformed;
  Provider provider;
  Key key;
  std::vector<UCHAR> blob = KeyBlob(BCRYPT_ECDSA_PUBLIC_P256_MAGIC, point, nullptr);
  if (!Succeeded(BCryptOpenAlgorithmProvider(provider.put(), BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0)) ||
      !ImportKey(provider, BCRYPT_ECCPUBLIC_BLOB, blob, key))
    return Verdict::kBadKey;
  Digest digest = Sha256Of(data);
  std::string copy(signature);
  const NTSTATUS status = BCryptVerifySignature(key.get(), nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                                reinterpret_cast<PUCHAR>(copy.data()), kSignatureBytes, 0);
  return Succeeded(status) ? Verdict::kValid : Verdict::kMismatch;
}

}  // namespace updpub::crypto
