#include "updpub/check/site_source.h"

#include <optional>
#include <system_error>
#include <vector>

#include "digests/crc32.h"
#include "updpub/keys/crypto.h"
#include "updpub/publish/copy_with_crc.h"

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
  HttpSource(HttpGetter& http, bool withSha256) : http_(http), withSha256_(withSha256) {}

  Fetched Fetch(const std::string& address, bool /*utf8Urls*/, bool keepBody) override {
    return Get(address, keepBody, nullptr);
  }

  Fetched Stream(const std::string& address, bool /*utf8Urls*/,
                 const std::function<void(const char*, size_t)>& sink) override {
    return Get(address, false, &sink);
  }

 private:
  Fetched Get(const std::string& address, bool keepBody, const std::function<void(const char*, size_t)>* sink) {
    Fetched fetched;
    bool tooLarge = false;
    std::optional<crypto::Sha256> sha256;
    if (withSha256_) sha256.emplace();
    const HttpResult result = http_.Get(address, [&](const char* data, size_t size) {
      fetched.crc = files::Crc32Update(fetched.crc, data, size);
      if (sha256) sha256->Update(data, size);
      fetched.size += size;
      if (sink) (*sink)(data, size);
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
    if (sha256) fetched.sha256 = crypto::DigestText(sha256->Finish());
    return fetched;
  }

  HttpGetter& http_;
  bool withSha256_;
};

class FolderSource final : public SiteSource {
 public:
  FolderSource(const fs::path& root, bool withSha256) : root_(root), withSha256_(withSha256) {}

  Fetched Fetch(const std::string& address, bool utf8Urls, bool keepBody) override {
    Fetched fetched;
    const std::optional<fs::path> path = Find(address, utf8Urls, fetched);
    if (!path) return fetched;
    if (keepBody) {
      if (!ReadWholeFile(*path, kMaxDocumentBytes, fetched.body, fetched.detail)) return fetched;
      fetched.crc = files::Crc32Update(0, fetched.body.data(), fetched.body.size());
      fetched.size = fetched.body.size();
      if (withSha256_) fetched.sha256 = crypto::DigestText(crypto::Sha256Of(fetched.body));
    } else {
      const CopyOutcome summed = CrcOfFile(*path, buffer_, withSha256_);
      if (!summed.ok) {
        fetched.detail = summed.error;
        return fetched;
      }
      fetched.crc = summed.crc;
      fetched.size = summed.bytes;
      fetched.sha256 = summed.sha256;
    }
    fetched.status = Fetched::Status::kOk;
    return fetched;
  }

  Fetched Stream(const std::string& address, bool utf8Urls,
                 const std::function<void(const char*, size_t)>& sink) override {
    Fetched fetched;
    const std::optional<fs::path> path = Find(address, utf8Urls, fetched);
    if (!path) return fetched;
    HostFile file;
    if (!file.OpenForReading(*path, fetched.detail)) return fetched;
    buffer_.resize(kCopyBufferSize);
    for (;;) {
      size_t got = 0;
      if (!file.Read(buffer_.data(), buffer_.size(), got, fetched.detail)) return fetched;
      if (got == 0) break;
      fetched.crc = files::Crc32Update(fetched.crc, buffer_.data(), got);
      fetched.size += got;
      sink(buffer_.data(), got);
    }
    fetched.status = Fetched::Status::kOk;
    return fetched;
  }

 private:
  // The file an address names, or nothing with `fetched` saying why.
  std::optional<fs::path> Find(const std::string& address, bool utf8Urls, Fetched& fetched) const {
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
        return std::nullopt;
      }
      if (!segment.empty() && segment != ".") path /= ServedSegment(segment, utf8Urls);
      begin = slash + 1;
    }
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
      fetched.status = Fetched::Status::kMissing;
      fetched.detail = "no file " + Utf8Path(path);
      return std::nullopt;
    }
    return path;
  }

  fs::path root_;
  bool withSha256_;
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

std::unique_ptr<SiteSource> MakeHttpSource(HttpGetter& http, bool withSha256) {
  return std::make_unique<HttpSource>(http, withSha256);
}

std::unique_ptr<SiteSource> MakeFolderSource(const fs::path& root, bool withSha256) {
  return std::make_unique<FolderSource>(root, withSha256);
}

}  // namespace updpub
