// The Windows build fetches with the updater's own WinINet client, so a check
// sees what the updater would see.
#include "net/http_client_win.h"
#include "updpub/check/site_source.h"

namespace updpub {
namespace {

constexpr size_t kReadSize = 64 * 1024;

class WinInetGetter final : public HttpGetter {
 public:
  HttpResult Get(const std::string& url, const std::function<void(const char*, size_t)>& body) override {
    HttpResult result;
    std::string address = url;  // ASCII: the updater's addresses are percent-encoded
    std::string cookies;
    if (client_.Open(address, cookies) < 0) {
      result.error = "WinINet could not open the address";
      return result;
    }
    // The client hands out the body of any response; a missing file shows as
    // a different one.
    result.reached = true;
    std::vector<char> buffer(kReadSize);
    for (;;) {
      const size_t got = client_.Read(buffer.data(), buffer.size());
      if (got == 0) break;
      body(buffer.data(), got);
    }
    return result;
  }

 private:
  net::HttpClient client_;
};

}  // namespace

std::unique_ptr<HttpGetter> MakeHttpGetter() { return std::make_unique<WinInetGetter>(); }

}  // namespace updpub
