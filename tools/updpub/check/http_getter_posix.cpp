// The host's HTTP client: Debian's cpp-httplib, with https when the library
// was built with OpenSSL.
#include <httplib.h>

#include <map>

#include "updpub/check/site_source.h"

namespace updpub {
namespace {

constexpr time_t kConnectTimeoutSeconds = 10;
constexpr time_t kReadTimeoutSeconds = 60;

struct SplitUrl {
  std::string origin;  // scheme://host[:port]
  std::string target;  // path and query as given
};

// http:// or https:// only; the scheme's letter case does not matter.
bool Split(const std::string& url, SplitUrl& split, bool& https) {
  const size_t colon = url.find("://");
  if (colon == std::string::npos) return false;
  std::string scheme = url.substr(0, colon);
  for (char& c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  if (scheme != "http" && scheme != "https") return false;
  https = scheme == "https";
  const size_t slash = url.find('/', colon + 3);
  split.origin = scheme + url.substr(colon, (slash == std::string::npos ? url.size() : slash) - colon);
  split.target = slash == std::string::npos ? "/" : url.substr(slash);
  // Requests go out as the updater's do; only what cannot stand in a request
  // line is escaped, as WinINet does.
  std::string target;
  for (const char c : split.target) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      target += '%';
      target += kHex[byte >> 4];
      target += kHex[byte & 0x0F];
    } else {
      target.push_back(c);
    }
  }
  split.target = target;
  return true;
}

class HttplibGetter final : public HttpGetter {
 public:
  HttpResult Get(const std::string& url, const std::function<void(const char*, size_t)>& body) override {
    HttpResult result;
    SplitUrl split;
    bool https = false;
    if (!Split(url, split, https)) {
      result.error = "not an http:// or https:// address";
      return result;
    }
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
    if (https) {
      result.error = "this build of cpp-httplib has no https: check https sites with the Windows build";
      return result;
    }
#endif
    httplib::Client& client = ClientFor(split.origin);
    // The updater asks for no compression; neither do we.
    const httplib::Headers headers = {{"Accept-Encoding", "identity"}};
    const httplib::Result response = client.Get(
        split.target, headers,
        [&result](const httplib::Response& head) {
          result.status = head.status;
          return true;
        },
        [&body](const char* data, size_t size) {
          body(data, size);
          return true;
        });
    if (!response) {
      result.error = httplib::to_string(response.error());
      // A connection the server closed while idle: the next request opens a new one.
      clients_.erase(split.origin);
      return result;
    }
    result.reached = true;
    result.status = response->status;
    return result;
  }

 private:
  httplib::Client& ClientFor(const std::string& origin) {
    auto found = clients_.find(origin);
    if (found != clients_.end()) return *found->second;
    auto client = std::make_unique<httplib::Client>(origin);
    client->set_keep_alive(true);
    client->set_follow_location(true);
    client->set_url_encode(false);
    client->set_decompress(false);
    client->set_connection_timeout(kConnectTimeoutSeconds);
    client->set_read_timeout(kReadTimeoutSeconds);
    return *clients_.emplace(origin, std::move(client)).first->second;
  }

  std::map<std::string, std::unique_ptr<httplib::Client>> clients_;
};

}  // namespace

std::unique_ptr<HttpGetter> MakeHttpGetter() { return std::make_unique<HttplibGetter>(); }

}  // namespace updpub
