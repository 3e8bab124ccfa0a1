// The host's signatures: OpenSSL's libcrypto. Keys pass through the shared
// codec, so this build accepts and writes exactly what the Windows build does.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include "updpub/keys/crypto.h"
#include "updpub/keys/key_codec.h"

namespace updpub::crypto {
namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* p) const { Free(p); }
};
template <typename T, void (*Free)(T*)>
using Owned = std::unique_ptr<T, Freer<T, Free>>;

using OwnedKey = Owned<EVP_PKEY, EVP_PKEY_free>;
using OwnedMdContext = Owned<EVP_MD_CTX, EVP_MD_CTX_free>;
using OwnedSig = Owned<ECDSA_SIG, ECDSA_SIG_free>;
using OwnedBignum = Owned<BIGNUM, BN_free>;

void FreeBytes(unsigned char* p) { OPENSSL_free(p); }
using OwnedBytes = Owned<unsigned char, FreeBytes>;

constexpr char kCurve[] = "P-256";

std::string LastError() {
  const unsigned long code = ERR_get_error();
  char text[256] = "unknown error";
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  ERR_clear_error();
  return text;
}

// The key read from the DER the codec accepted.
OwnedKey PrivateKey(std::string_view pem) {
  PrivateKeyParts parts;
  std::string der;
  if (!ParsePrivateKeyPem(pem, parts) || !PemBody(pem, "PRIVATE KEY", der)) return nullptr;
  const auto* data = reinterpret_cast<const unsigned char*>(der.data());
  return OwnedKey(d2i_AutoPrivateKey(nullptr, &data, static_cast<long>(der.size())));
}

OwnedKey PublicKey(std::string_view pem) {
  Point point;
  std::string der;
  if (!ParsePublicKeyPem(pem, point) || !PemBody(pem, "PUBLIC KEY", der)) return nullptr;
  const auto* data = reinterpret_cast<const unsigned char*>(der.data());
  return OwnedKey(d2i_PUBKEY(nullptr, &data, static_cast<long>(der.size())));
}

}  // namespace

struct Sha256::State {
  OwnedMdContext context{EVP_MD_CTX_new()};
};

Sha256::Sha256() : state_(std::make_unique<State>()) { EVP_DigestInit_ex(state_->context.get(), EVP_sha256(), nullptr); }

Sha256::~Sha256() = default;

void Sha256::Update(const void* data, size_t size) { EVP_DigestUpdate(state_->context.get(), data, size); }

Digest Sha256::Finish() {
  Digest digest{};
  unsigned int size = 0;
  EVP_DigestFinal_ex(state_->context.get(), digest.data(), &size);
  return digest;
}

bool GenerateKeyPair(KeyPair& keys, std::string& error) {
  const OwnedKey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", kCurve));
  BIGNUM* scalar = nullptr;
  PrivateKeyParts parts;
  size_t pointSize = 0;
  if (!key || !EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar)) {
    error = "cannot make a key: " + LastError();
    return false;
  }
  const OwnedBignum owned(scalar);
  if (BN_bn2binpad(scalar, parts.scalar.data(), static_cast<int>(parts.scalar.size())) < 0 ||
      !EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, parts.point.data(), parts.point.size(),
                                       &pointSize) ||
      pointSize != kPointBytes || parts.point[0] != 0x04) {
    error = "cannot export the key: " + LastError();
    return false;
  }
  keys.privatePem = PrivateKeyPem(parts);
  keys.publicPem = PublicKeyPem(parts.point);
  return true;
}

bool Sign(std::string_view privatePem, std::string_view data, std::string& signature, std::string& error) {
  const OwnedKey key = PrivateKey(privatePem);
  if (!key) {
    error = "not a P-256 private key (PKCS#8 PEM with its public point)";
    return false;
  }
  const OwnedMdContext context(EVP_MD_CTX_new());
  size_t size = 0;
  if (!context || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), nullptr, &size, reinterpret_cast<const unsigned char*>(data.data()),
                     data.size()) != 1) {
    error = "cannot sign: " + LastError();
    return false;
  }
  std::string der(size, '\0');
  if (EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(der.data()), &size,
                     reinterpret_cast<const unsigned char*>(data.data()), data.size()) != 1) {
    error = "cannot sign: " + LastError();
    return false;
  }
  // OpenSSL writes ECDSA-Sig-Value in DER; the file holds r||s.
  const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
  const OwnedSig sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(size)));
  const BIGNUM* r = nullptr;
  const BIGNUM* s = nullptr;
  if (sig) ECDSA_SIG_get0(sig.get(), &r, &s);
  signature.assign(kSignatureBytes, '\0');
  auto* out = reinterpret_cast<unsigned char*>(signature.data());
  if (!sig || BN_bn2binpad(r, out, kSignatureBytes / 2) < 0 ||
      BN_bn2binpad(s, out + kSignatureBytes / 2, kSignatureBytes / 2) < 0) {
    error = "cannot convert the signature: " + LastError();
    return false;
  }
  return true;
}

Verdict Verify(std::string_view publicPem, std::string_view data, std::string_view signature) {
  const OwnedKey key = PublicKey(publicPem);
  if (!key) return Verdict::kBadKey;
  if (signature.size() != kSignatureBytes) return Verdict::kMalformed;
  const auto* bytes = reinterpret_cast<const unsigned char*>(signature.data());
  OwnedSig sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(bytes, kSignatureBytes / 2, nullptr);
  BIGNUM* s = BN_bin2bn(bytes + kSignatureBytes / 2, kSignatureBytes / 2, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {  // set0 takes r and s
    BN_free(r);
    BN_free(s);
    return Verdict::kMismatch;
  }
  unsigned char* der = nullptr;
  const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
  const OwnedBytes ownedDer(der);
  const OwnedMdContext context(EVP_MD_CTX_new());
  const bool valid = derSize > 0 && context &&
                     EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
                     EVP_DigestVerify(context.get(), der, static_cast<size_t>(derSize),
                                      reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
  ERR_clear_error();
  return valid ? Verdict::kValid : Verdict::kMismatch;
}

}  // namespace updpub::crypto
