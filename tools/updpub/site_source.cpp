#include "updpub/site_source.h"

#include <system_error>
#include <vector>

#include "files/crc32.h"
#include "updpub/copy_with_crc.h"

namespace updpub {
namespace {

// The documents of a site are small; a larger body is no document.
constexpr size_t kMaxDocumentBytes = size_t{64} << 20;
constexpr int kHttpOk = 200;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class HttpSource final : public SiteSource {
 public:
  explicit HttpSource(HttpGetter& http) : http_(http) {}

  Fetched Fetch(const std::string& address, bool /*utf8Urls*/, bool keepBody) override {
    Fetched fetched;
    bool tooLarge = false;
    const HttpResult result = http_.Get(address, [&](const char* data, size_t size) {
      fetched.crc = files::Crc32Update(fetched.crc, data, size);
      fetched.size += size;
      if (!keepBody) return;
      if (fetched.body.size() + size > kMaxDocumentBytes) {
        tooLarge = true;
        return;
      }
      fetched.body.append(data, size);
    });
    if (!result.reached) {
      fetched.detail = result.error;
      return fetched;
    }
    if (result.status != 0 && result.status != kHttpOk) {
      fetched.status = (result.status == 404 || result.status == 410) ? Fetched::Status::kMissing
                                                                       : Fetched::Status::kFailed;
      fetched.detail = "HTTP " + std::to_string(result.status);
      fetched.body.clear();
      return fetched;
    }
    if (tooLarge) {
      fetched.detail = "larger than a document can be";
      return fetched;
    }
    fetched.status = Fetched::Status::kOk;
    fetched.statusKnown = result.status != 0;
    return fetched;
  }

 private:
  HttpGetter& http_;
};

class FolderSource final : public SiteSource {
 public:
  explicit FolderSource(const fs::path& root) : root_(root) {}

  Fetched Fetch(const std::string& address, bool utf8Urls, bool keepBody) override {
    Fetched fetched;
    const std::string bytes = PercentDecoded(address);
    fs::path path = root_;
    size_t begin = 0;
    while (begin <= bytes.size()) {
      size_t slash = bytes.find('/', begin);
      if (slash == std::string::npos) slash = bytes.size();
      const std::string segment = bytes.substr(begin, slash - begin);
      // A server resolves "." and ".." before it looks; a folder has no parent here.
      if (segment == "..") {
        fetched.status = Fetched::Status::kMissing;
        fetched.detail = "outside the site folder";
        return fetched;
      }
      if (!segment.empty() && segment != ".") path /= ServedSegment(segment, utf8Urls);
      begin = slash + 1;
    }
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
      fetched.status = Fetched::Status::kMissing;
      fetched.detail = "no file " + Utf8Path(path);
      return fetched;
    }
    if (keepBody) {
      if (!ReadWholeFile(path, kMaxDocumentBytes, fetched.body, fetched.detail)) return fetched;
      fetched.crc = files::Crc32Update(0, fetched.body.data(), fetched.body.size());
      fetched.size = fetched.body.size();
    } else {
      const CopyOutcome summed = CrcOfFile(path, buffer_);
      if (!summed.ok) {
        fetched.detail = summed.error;
        return fetched;
      }
      fetched.crc = summed.crc;
      fetched.size = summed.bytes;
    }
    fetched.status = Fetched::Status::kOk;
    return fetched;
  }

 private:
  fs::path root_;
  std::vector<char> buffer_;
};

}  // namespace

std::string PercentDecoded(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

std::unique_ptr<SiteSource> MakeHttpSource(HttpGetter& http) { return std::make_unique<HttpSource>(http); }

std::unique_ptr<SiteSource> MakeFolderSource(const fs::path& root) { return std::make_unique<FolderSource>(root); }

}  // namespace updpub
