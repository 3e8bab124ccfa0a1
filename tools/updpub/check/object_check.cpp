#include "updpub/check/object_check.h"

#include <memory>
#include <optional>
#include <utility>

#include "codecs/object_decoder.h"
#include "codecs/segmented_delta.h"
#include "digests/crc32.h"
#include "download/object_decoding.h"
#include "files/file_system.h"
#include "net/url_encoding.h"
#include "site/file_objects.h"
#include "updpub/keys/crypto.h"
#include "updpub/packing/object_codec.h"
#include "updpub/publish/documents.h"
#include "updpub/publish/text_rules.h"
#include "xml/xml_document.h"

namespace updpub {
namespace {

// Takes in what an object decodes to as its CRC-32, size and SHA-256.
class DigestSink : public files::WritableFile {
 public:
  DigestSink(uint32_t& crc, uint64_t& size, std::optional<crypto::Sha256>& sha256)
      : crc_(crc), size_(size), sha256_(sha256) {}
  bool Write(const void* data, size_t size) override {
    crc_ = files::Crc32Update(crc_, data, size);
    size_ += size;
    if (sha256_) sha256_->Update(data, size);
    return true;
  }
  void Close() override {}

 private:
  uint32_t& crc_;
  uint64_t& size_;
  std::optional<crypto::Sha256>& sha256_;
};

// A delta in segments' regions in memory: the checker holds the base and
// the decoded file whole.
class HeldSegments final : public files::SegmentViews {
 public:
  HeldSegments(std::string_view base, uint64_t size) : base_(base), output_(static_cast<size_t>(size), '\0') {}
  uint64_t BaseSize() const override { return base_.size(); }
  bool MapSegment(files::Region base, files::Region output, std::string_view& baseView, char*& outputView) override {
    if (base.offset + base.length > base_.size() || output.offset + output.length > output_.size()) return false;
    baseView = base_.substr(static_cast<size_t>(base.offset), static_cast<size_t>(base.length));
    outputView = output_.data() + output.offset;
    return true;
  }
  const std::string& Output() const { return output_; }

 private:
  std::string_view base_;
  std::string output_;
};

// A list's Size is a signed 32-bit count.
constexpr uint64_t kLargestListedFile = (uint64_t{1} << 31) - 1;

}  // namespace

struct ObjectChecker::Decoded {
  Fetched fetched;
  bool decoded = false;
  std::string error;  // why it did not decode
  uint64_t size = 0;
  uint32_t crc = 0;
  std::string sha256;
};

std::vector<ObjectProblem> ObjectChecker::Check(const std::string& serverBase, const std::string& version,
                                                bool utf8Urls, const ListedObjects& file) {
  std::vector<ObjectProblem> problems;
  const engine::FileEntry& entry = file.entry;
  const std::string shown = "\"" + Shown(entry.Name) + "\"";
  if (entry.Size && file.plainIntact && *entry.Size != file.plainSize)
    problems.push_back({Severity::kError, shown + ": Size says " + std::to_string(*entry.Size) + " bytes, the file has " +
                                              std::to_string(file.plainSize) +
                                              ": an updater that fetches an object refuses what it decodes"});
  if (entry.PackedSize == 0 && entry.Deltas.empty() && entry.CodeDeltas.empty() && entry.SegmentedDeltas.empty())
    return problems;
  const auto address = [&](const std::string& objectName) {
    return net::EncodeUrl(net::FileUrl(serverBase, version, objectName), utf8Urls);
  };
  if (entry.PackedSize > 0) {
    const std::string name = engine::PackedObjectName(entry.Name);
    Judge(shown + ": packed object " + Shown(name),
          Decode(address(name), utf8Urls, engine::ObjectKind::kPacked, {}, *entry.Size), entry.PackedSize, file,
          problems);
  }
  std::vector<std::pair<engine::ObjectKind, const engine::DeltaObject*>> deltas;
  for (const engine::DeltaObject& delta : entry.Deltas) deltas.emplace_back(engine::ObjectKind::kDelta, &delta);
  for (const engine::DeltaObject& delta : entry.CodeDeltas) deltas.emplace_back(engine::ObjectKind::kCodeDelta, &delta);
  for (const engine::DeltaObject& delta : entry.SegmentedDeltas)
    deltas.emplace_back(engine::ObjectKind::kSegmentedDelta, &delta);
  for (const auto& [kind, listed] : deltas) {
    const engine::DeltaObject& delta = *listed;
    const bool code = kind == engine::ObjectKind::kCodeDelta;
    const bool segmented = kind == engine::ObjectKind::kSegmentedDelta;
    const std::string name = code        ? engine::CodeDeltaObjectName(entry.Name, delta.BaseCrc)
                             : segmented ? engine::SegmentedDeltaObjectName(entry.Name, delta.BaseCrc)
                                         : engine::DeltaObjectName(entry.Name, delta.BaseCrc);
    const std::string what =
        shown + (code ? ": code delta " : segmented ? ": delta in segments " : ": delta ") + Shown(name);
    const std::string baseName = delta.BaseName.empty() ? entry.Name : delta.BaseName;
    std::string base;
    if (FindBase(serverBase, utf8Urls, baseName, HashValue(delta.BaseCrc).value_or(0), base)) {
      Judge(what, Decode(address(name), utf8Urls, kind, base, *entry.Size), delta.Size, file, problems);
      continue;
    }
    // Without its base the delta can still be there and of its size.
    const Fetched fetched = source_.Stream(address(name), utf8Urls, [](const char*, size_t) {});
    Decoded undecoded;
    undecoded.fetched = fetched;
    Judge(what, undecoded, delta.Size, file, problems);
    if (fetched.status == Fetched::Status::kOk)
      problems.push_back({Severity::kWarning,
                          what + " not decoded: no older version " +
                              (olderGiven_ ? std::string("given") : std::string("on the site")) + " lists \"" +
                              Shown(baseName) + "\" with CRC " + delta.BaseCrc +
                              (olderVersions_.empty() ? " (name older versions with --older VERSION)" : "")});
  }
  return problems;
}

// Through the updater's own decoder, with its bounds: an object it would
// refuse is reported, not one that only zstd itself accepts.
ObjectChecker::Decoded ObjectChecker::Decode(const std::string& address, bool utf8Urls, engine::ObjectKind kind,
                                             const std::string& base, uint64_t plainSize) {
  Decoded decoded;
  std::optional<crypto::Sha256> sha256;
  if (withSha256_) sha256.emplace();
  DigestSink sink(decoded.crc, decoded.size, sha256);
  const bool segmented = kind == engine::ObjectKind::kSegmentedDelta;
  if (segmented && plainSize > kLargestListedFile) {
    decoded.fetched = source_.Stream(address, utf8Urls, [](const char*, size_t) {});
    decoded.error = "its file is larger than a list may name";
    return decoded;
  }
  std::optional<HeldSegments> segments;
  if (segmented) segments.emplace(base, plainSize);
  const std::unique_ptr<files::StreamDecoder> decoder =
      segmented ? std::unique_ptr<files::StreamDecoder>(std::make_unique<files::SegmentedDeltaDecoder>(*segments, plainSize))
                : engine::DecoderFor(kind, sink, plainSize, base);
  decoded.fetched = source_.Stream(address, utf8Urls, [&](const char* data, size_t size) { decoder->Feed(data, size); });
  if (decoded.fetched.status != Fetched::Status::kOk) return decoded;
  const files::DecodeStatus status = decoder->Finish();
  if (segmented && status == files::DecodeStatus::kOk) sink.Write(segments->Output().data(), segments->Output().size());
  decoded.decoded = status == files::DecodeStatus::kOk;
  if (!decoded.decoded) decoded.error = files::DecodeStatusName(status);
  if (sha256) decoded.sha256 = crypto::DigestText(sha256->Finish());
  return decoded;
}

void ObjectChecker::Judge(const std::string& what, const Decoded& decoded, uint64_t listedSize,
                          const ListedObjects& file, std::vector<ObjectProblem>& problems) {
  const Fetched& fetched = decoded.fetched;
  const std::string fallBack = ": an updater falls back to another form, fetching more than needed";
  if (fetched.status == Fetched::Status::kMissing) {
    problems.push_back({Severity::kError, what + " is listed but missing (" + fetched.detail + ")" + fallBack});
    return;
  }
  if (fetched.status != Fetched::Status::kOk) {
    problems.push_back({Severity::kError, what + " cannot be fetched (" + fetched.detail + ")" + fallBack});
    return;
  }
  if (fetched.size != listedSize)
    problems.push_back({Severity::kError, what + " has " + std::to_string(fetched.size) + " bytes, the list says " +
                                              std::to_string(listedSize) + fallBack});
  if (!decoded.decoded) {
    if (!decoded.error.empty())
      problems.push_back({Severity::kError, what + " does not decode (" + decoded.error + ")" + fallBack});
    return;
  }
  // The decoder has held the output to the list's Size already.
  if (decoded.crc != file.crc) {
    problems.push_back({Severity::kError, what + " decodes to CRC " + CrcText(decoded.crc) + ", the list says " +
                                              CrcText(file.crc) + fallBack});
  } else if (!file.sha256.empty() && decoded.sha256 != file.sha256) {
    problems.push_back({Severity::kError, what + " decodes to SHA-256 " + decoded.sha256 + ", the list says " +
                                              file.sha256 + fallBack});
  }
}

bool ObjectChecker::FindBase(const std::string& serverBase, bool utf8Urls, const std::string& name, uint32_t crc,
                             std::string& bytes) {
  const std::string folded = FoldedName(name);
  for (const std::string& version : olderVersions_) {
    for (const engine::FileEntry& entry : OlderList(serverBase, version)) {
      if (FoldedName(entry.Name) != folded || HashValue(entry.Hash) != crc) continue;
      bytes.clear();
      const Fetched fetched =
          source_.Stream(net::EncodeUrl(net::FileUrl(serverBase, version, entry.Name), utf8Urls), utf8Urls,
                         [&](const char* data, size_t size) {
                           if (bytes.size() + size <= kLargestPackedFile) bytes.append(data, size);
                         });
      if (fetched.status == Fetched::Status::kOk && fetched.crc == crc && bytes.size() == fetched.size) return true;
    }
  }
  return false;
}

const std::vector<engine::FileEntry>& ObjectChecker::OlderList(const std::string& serverBase,
                                                               const std::string& version) {
  const std::string address = serverBase + version + "/" + kFileListName;
  const auto found = olderLists_.find(address);
  if (found != olderLists_.end()) return found->second;
  std::vector<engine::FileEntry>& entries = olderLists_[address];
  const Fetched fetched = source_.Fetch(address, false, true);
  xml::XmlDocument document;
  if (fetched.status == Fetched::Status::kOk && document.LoadFromBytes(engine::TrimListText(fetched.body)))
    entries = engine::ReadServerFileList(document);
  return entries;
}

}  // namespace updpub
