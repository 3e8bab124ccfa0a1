#pragma once
// Where "updpub check" reads a site from: a web server, through one small
// HTTP interface (cpp-httplib natively, WinINet in the Windows build), or a
// folder that stands for a server.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "updpub/host/host_files.h"

namespace updpub {

// One GET. `status` is 0 when the client cannot tell it (the Windows client
// hands out the body of any response).
struct HttpResult {
  bool reached = false;
  int status = 0;
  std::string error;  // why no response arrived
};

class HttpGetter {
 public:
  virtual ~HttpGetter() = default;
  // Requests the address as given (already percent-encoded where the updater
  // encodes) and hands the body to `body` piece by piece.
  virtual HttpResult Get(const std::string& url, const std::function<void(const char*, size_t)>& body) = 0;
};

// The platform's client.
std::unique_ptr<HttpGetter> MakeHttpGetter();

struct Fetched {
  enum class Status { kOk, kMissing, kFailed };
  Status status = Status::kFailed;
  std::string detail;  // "HTTP 404", or why nothing arrived
  std::string body;    // when asked to keep it
  uint32_t crc = 0;
  uint64_t size = 0;
  std::string sha256;  // crypto::DigestText, from a source made to sum it
  bool statusKnown = true;  // false: an error page would have arrived as the body
};

class SiteSource {
 public:
  virtual ~SiteSource() = default;
  // `address` as the updater requests it; utf8Urls says how it was encoded
  // (a folder needs that to name its files). The body is kept only for
  // documents; files are summed as they arrive.
  virtual Fetched Fetch(const std::string& address, bool utf8Urls, bool keepBody) = 0;
  // As Fetch, handing every piece of the body to `sink` as it arrives
  // (also an error page's, when the status cannot be told).
  virtual Fetched Stream(const std::string& address, bool utf8Urls,
                         const std::function<void(const char*, size_t)>& sink) = 0;
};

// withSha256: every fetch sums the SHA-256 too.
std::unique_ptr<SiteSource> MakeHttpSource(HttpGetter& http, bool withSha256 = false);

// Addresses relative to `root`, percent-decoded and looked up byte for byte
// as a web server serving that folder does.
std::unique_ptr<SiteSource> MakeFolderSource(const fs::path& root, bool withSha256 = false);

// "%XX" turned into the byte; anything else kept.
std::string PercentDecoded(std::string_view text);

}  // namespace updpub
