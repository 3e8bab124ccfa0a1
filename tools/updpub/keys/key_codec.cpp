#include "updpub/keys/key_codec.h"

namespace updpub::crypto {
namespace {

constexpr char kBase64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr size_t kPemLineLength = 64;
constexpr char kPublicLabel[] = "PUBLIC KEY";
constexpr char kPrivateLabel[] = "PRIVATE KEY";

// SEQUENCE { SEQUENCE { id-ecPublicKey, prime256v1 }, BIT STRING 00 ...}: the
// part of every P-256 SubjectPublicKeyInfo before the point.
constexpr uint8_t kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                   0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00};
// AlgorithmIdentifier { id-ecPublicKey, prime256v1 } with its header.
constexpr uint8_t kEcAlgorithm[] = {0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01,
                                    0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
constexpr uint8_t kPrime256v1[] = {0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};

constexpr uint8_t kTagInteger = 0x02;
constexpr uint8_t kTagBitString = 0x03;
constexpr uint8_t kTagOctetString = 0x04;
constexpr uint8_t kTagSequence = 0x30;
constexpr uint8_t kTagParameters = 0xA0;  // [0] inside ECPrivateKey
constexpr uint8_t kTagPublicKey = 0xA1;   // [1] inside ECPrivateKey

std::string_view Bytes(const uint8_t* data, size_t size) {
  return std::string_view(reinterpret_cast<const char*>(data), size);
}

std::string Tlv(uint8_t tag, std::string_view content) {
  std::string out(1, static_cast<char>(tag));
  if (content.size() < 0x80) {
    out.push_back(static_cast<char>(content.size()));
  } else {
    // Keys are far below 64 KiB.
    out.push_back(static_cast<char>(content.size() < 0x100 ? 0x81 : 0x82));
    if (content.size() >= 0x100) out.push_back(static_cast<char>(content.size() >> 8));
    out.push_back(static_cast<char>(content.size() & 0xFF));
  }
  out.append(content);
  return out;
}

// Reads one element of the expected tag from the front of `in`: definite
// lengths in their shortest form, as DER has them.
bool TakeTlv(std::string_view& in, uint8_t tag, std::string_view& content) {
  if (in.size() < 2 || static_cast<uint8_t>(in[0]) != tag) return false;
  size_t length = static_cast<uint8_t>(in[1]);
  size_t header = 2;
  if (length == 0x81 || length == 0x82) {
    const size_t digits = length - 0x80;
    if (in.size() < 2 + digits) return false;
    length = 0;
    for (size_t i = 0; i < digits; ++i) length = length << 8 | static_cast<uint8_t>(in[2 + i]);
    if (length < 0x80 || (digits == 2 && length < 0x100)) return false;
    header += digits;
  } else if (length >= 0x80) {
    return false;
  }
  if (in.size() - header < length) return false;
  content = in.substr(header, length);
  in.remove_prefix(header + length);
  return true;
}

std::string Pem(std::string_view label, std::string_view der) {
  const std::string text = Base64(der);
  std::string out = "-----BEGIN " + std::string(label) + "-----\n";
  for (size_t i = 0; i < text.size(); i += kPemLineLength) out += text.substr(i, kPemLineLength) + "\n";
  out += "-----END " + std::string(label) + "-----\n";
  return out;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string Base64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  for (size_t i = 0; i < bytes.size(); i += 3) {
    const size_t n = bytes.size() - i < 3 ? bytes.size() - i : 3;
    uint32_t group = 0;
    for (size_t k = 0; k < 3; ++k)
      group = group << 8 | (k < n ? static_cast<uint8_t>(bytes[i + k]) : 0u);
    for (size_t k = 0; k < 4; ++k)
      out.push_back(k <= n ? kBase64Digits[(group >> (18 - 6 * k)) & 0x3F] : '=');
  }
  return out;
}

bool FromBase64(std::string_view text, std::string& bytes) {
  bytes.clear();
  uint32_t group = 0;
  int digits = 0;
  int padding = 0;
  for (const char c : text) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    const int value = Base64Value(c);
    if (value < 0 || padding > 0) return false;  // digits after padding
    group = group << 6 | static_cast<uint32_t>(value);
    if (++digits == 4) {
      bytes.push_back(static_cast<char>(group >> 16));
      bytes.push_back(static_cast<char>(group >> 8));
      bytes.push_back(static_cast<char>(group));
      group = 0;
      digits = 0;
    }
  }
  // A last group of 2 or 3 digits carries 1 or 2 bytes and is padded to 4.
  if (digits == 1 || (digits == 0 && padding != 0) || (digits > 0 && digits + padding != 4)) return false;
  if (digits >= 2) bytes.push_back(static_cast<char>(group >> (digits == 2 ? 4 : 10)));
  if (digits == 3) bytes.push_back(static_cast<char>(group >> 2));
  return true;
}

bool PemBody(std::string_view pem, std::string_view label, std::string& der) {
  const std::string begin = "-----BEGIN " + std::string(label) + "-----";
  const std::string end = "-----END " + std::string(label) + "-----";
  const size_t first = pem.find(begin);
  if (first == std::string_view::npos) return false;
  const size_t bodyStart = first + begin.size();
  const size_t last = pem.find(end, bodyStart);
  if (last == std::string_view::npos) return false;
  return FromBase64(pem.substr(bodyStart, last - bodyStart), der) && !der.empty();
}

std::string PublicKeyPem(const Point& point) {
  std::string der(Bytes(kSpkiPrefix, sizeof kSpkiPrefix));
  der.append(Bytes(point.data(), point.size()));
  return Pem(kPublicLabel, der);
}

std::string PrivateKeyPem(const PrivateKeyParts& key) {
  std::string publicBits(1, '\0');  // no unused bits
  publicBits.append(Bytes(key.point.data(), key.point.size()));
  const std::string ecPrivateKey =
      Tlv(kTagSequence, Tlv(kTagInteger, std::string(1, '\1')) +
                            Tlv(kTagOctetString, Bytes(key.scalar.data(), key.scalar.size())) +
                            Tlv(kTagPublicKey, Tlv(kTagBitString, publicBits)));
  const std::string der = Tlv(kTagSequence, Tlv(kTagInteger, std::string(1, '\0')) +
                                                std::string(Bytes(kEcAlgorithm, sizeof kEcAlgorithm)) +
                                                Tlv(kTagOctetString, ecPrivateKey));
  return Pem(kPrivateLabel, der);
}

bool ParsePublicKeyPem(std::string_view pem, Point& point) {
  std::string der;
  if (!PemBody(pem, kPublicLabel, der)) return false;
  const std::string_view prefix = Bytes(kSpkiPrefix, sizeof kSpkiPrefix);
  if (der.size() != prefix.size() + kPointBytes || std::string_view(der).substr(0, prefix.size()) != prefix ||
      der[prefix.size()] != '\x04')
    return false;
  for (size_t i = 0; i < kPointBytes; ++i) point[i] = static_cast<uint8_t>(der[prefix.size() + i]);
  return true;
}

bool ParsePrivateKeyPem(std::string_view pem, PrivateKeyParts& key) {
  std::string der;
  if (!PemBody(pem, kPrivateLabel, der)) return false;
  std::string_view rest = der;
  std::string_view info;
  std::string_view version;
  std::string_view octets;
  if (!TakeTlv(rest, kTagSequence, info) || !rest.empty()) return false;
  if (!TakeTlv(info, kTagInteger, version) || version != std::string_view("\0", 1)) return false;
  const std::string_view algorithm = Bytes(kEcAlgorithm, sizeof kEcAlgorithm);
  if (info.substr(0, algorithm.size()) != algorithm) return false;
  info.remove_prefix(algorithm.size());
  // Attributes may follow the key; nothing in them matters here.
  if (!TakeTlv(info, kTagOctetString, octets)) return false;

  std::string_view ecKey;
  std::string_view scalar;
  std::string_view bits;
  if (!TakeTlv(octets, kTagSequence, ecKey) || !octets.empty()) return false;
  if (!TakeTlv(ecKey, kTagInteger, version) || version != "\1") return false;
  if (!TakeTlv(ecKey, kTagOctetString, scalar) || scalar.size() != kScalarBytes) return false;
  std::string_view parameters;
  if (!ecKey.empty() && static_cast<uint8_t>(ecKey[0]) == kTagParameters) {
    if (!TakeTlv(ecKey, kTagParameters, parameters) || parameters != Bytes(kPrime256v1, sizeof kPrime256v1))
      return false;
  }
  std::string_view publicKey;
  if (!TakeTlv(ecKey, kTagPublicKey, publicKey) || !ecKey.empty()) return false;
  if (!TakeTlv(publicKey, kTagBitString, bits) || !publicKey.empty()) return false;
  if (bits.size() != 1 + kPointBytes || bits[0] != '\0' || bits[1] != '\x04') return false;
  for (size_t i = 0; i < kScalarBytes; ++i) key.scalar[i] = static_cast<uint8_t>(scalar[i]);
  for (size_t i = 0; i < kPointBytes; ++i) key.point[i] = static_cast<uint8_t>(bits[1 + i]);
  return true;
}

}  // namespace updpub::crypto
