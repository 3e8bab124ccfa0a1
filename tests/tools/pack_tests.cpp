// Packed objects and deltas: published from a release pair, decoded with
// libzstd as an updater would, and checked by "updpub check".
#include <gtest/gtest.h>
// For the frame header reader.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "codecs/segmented_delta.h"
#include "site/file_objects.h"
#include "tool_support.h"
#include "updpub/check/site_check.h"
#include "updpub/packing/segmented_delta_encoder.h"
#include "xml/xml_document.h"

namespace {

using namespace tool_testing;

// Text that compresses the way program files roughly do: words drawn from a
// small vocabulary, different for each seed.
std::string Words(size_t bytes, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::string> vocabulary;
  std::mt19937 fixed(1);
  for (int i = 0; i < 400; ++i) {
    std::string word;
    for (unsigned n = 3 + fixed() % 7; n > 0; --n) word.push_back(static_cast<char>('a' + fixed() % 16));
    vocabulary.push_back(word);
  }
  std::string text;
  while (text.size() < bytes) text += vocabulary[random() % vocabulary.size()] + (random() % 12 ? " " : "\n");
  return text;
}

// Version 1.0 published, then 2.0 with app.exe changed in its middle,
// lib_v1.dll renamed to lib_v2.dll with a small change, and a tiny new file.
class ReleasePair {
 public:
  explicit ReleasePair(bool pack = true) {
    const std::string app = Words(300000, 2);
    const std::string lib = Words(150000, 3);
    WriteRelease(scratch_.path() / "r1", {{"app.exe", app}, {"lib_v1.dll", lib}});
    second_ = {{"app.exe", app.substr(0, 100000) + Words(3000, 4) + app.substr(100000)},
               {"lib_v2.dll", lib.substr(0, 5000) + "changed" + lib.substr(5000)},
               {"tiny.txt", "hi"}};
    WriteRelease(scratch_.path() / "r2", second_);
    EXPECT_EQ(Publish("r1", "1.0", pack).exitCode, updpub::kPublished);
    EXPECT_EQ(Publish("r2", "2.0", pack).exitCode, updpub::kPublished);
  }
  updpub::PublishResult Publish(const char* release, const char* version, bool pack) {
    updpub::PublishOptions options = Options(scratch_.path() / release, site(), version);
    options.pack = pack;
    return updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
  }
  // The site lies where a server at http://mirror.test/srv1/ serves it.
  fs::path site() const { return scratch_.path() / "srv1"; }
  fs::path root() const { return scratch_.path(); }
  const std::map<std::string, std::string>& second() const { return second_; }

  std::map<std::string, engine::FileEntry> List() const {
    xml::XmlDocument document;
    EXPECT_TRUE(document.LoadFromBytes(engine::TrimListText(ReadBytes(site() / "2.0" / "filelist.xml"))));
    std::map<std::string, engine::FileEntry> entries;
    for (engine::FileEntry& entry : engine::ReadServerFileList(document)) entries[entry.Name] = std::move(entry);
    return entries;
  }

 private:
  ScratchFolder scratch_;
  std::map<std::string, std::string> second_;
};

std::string Decode(const std::string& object, const std::string& base) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, 30);
  if (!base.empty()) ZSTD_DCtx_refPrefix(context, base.data(), base.size());
  const unsigned long long size = ZSTD_getFrameContentSize(object.data(), object.size());
  std::string plain(size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR ? 0 : size, '\0');
  const size_t got = ZSTD_decompressDCtx(context, plain.data(), plain.size(), object.data(), object.size());
  ZSTD_freeDCtx(context);
  EXPECT_FALSE(ZSTD_isError(got)) << ZSTD_getErrorName(got);
  return ZSTD_isError(got) ? std::string() : plain.substr(0, got);
}

std::string Object(const ReleasePair& pair, const std::string& listName) {
  std::string path = listName;
  for (char& c : path) c = c == '\\' ? '/' : c;
  return ReadBytes(pair.site() / "2.0" / path);
}

TEST(Packing, ChangedAndRenamedFilesGetObjectsThatDecodeToThem) {
  ReleasePair pair;
  const auto list = pair.List();
  const engine::FileEntry& app = list.at("app.exe");
  const std::string& plainApp = pair.second().at("app.exe");
  EXPECT_EQ(app.Size, plainApp.size());
  ASSERT_GT(app.PackedSize, 0u);
  const std::string packed = Object(pair, engine::PackedObjectName("app.exe"));
  EXPECT_EQ(packed.size(), app.PackedSize);
  EXPECT_EQ(Decode(packed, ""), plainApp);
  ASSERT_EQ(app.Deltas.size(), 1u);
  const std::string baseApp = ReadBytes(pair.site() / "1.0" / "app.exe");
  EXPECT_EQ(app.Deltas[0].BaseCrc, CrcHex(baseApp));
  EXPECT_EQ(app.Deltas[0].BaseName, "");
  const std::string delta = Object(pair, engine::DeltaObjectName("app.exe", app.Deltas[0].BaseCrc));
  EXPECT_EQ(delta.size(), app.Deltas[0].Size);
  EXPECT_LT(delta.size(), packed.size());
  EXPECT_EQ(Decode(delta, baseApp), plainApp);

  const engine::FileEntry& lib = list.at("lib_v2.dll");
  ASSERT_EQ(lib.Deltas.size(), 1u);
  EXPECT_EQ(lib.Deltas[0].BaseName, "lib_v1.dll");
  EXPECT_EQ(Decode(Object(pair, engine::DeltaObjectName("lib_v2.dll", lib.Deltas[0].BaseCrc)),
                   ReadBytes(pair.site() / "1.0" / "lib_v1.dll")),
            pair.second().at("lib_v2.dll"));

  const engine::FileEntry& tiny = list.at("tiny.txt");
  EXPECT_EQ(tiny.Size, 2u);
  EXPECT_EQ(tiny.PackedSize, 0u);
  EXPECT_TRUE(tiny.Deltas.empty());
  EXPECT_FALSE(fs::exists(pair.site() / "2.0" / "update" / "packed" / "tiny.txt.zst"));

  FolderHttp http(pair.root());
  updpub::CheckOptions options{"http://mirror.test/srv1/update.xml", std::nullopt};
  options.olderVersions = {"1.0"};
  const updpub::CheckReport report = updpub::CheckSite(options, http);
  EXPECT_TRUE(report.findings.empty()) << updpub::FindingLine(report.findings.at(0));
}

// An older version's file whose bytes no longer match its list (a site
// edited by hand, a damaged copy) is no base: a delta made from it would be
// taken by updaters whose installed file has the listed CRC, and fail.
TEST(Packing, NoDeltaFromAnOlderFileThatNoLongerMatchesItsList) {
  ScratchFolder scratch;
  const std::string app = Words(300000, 2);
  WriteRelease(scratch.path() / "r1", {{"app.exe", app}});
  WriteRelease(scratch.path() / "r2", {{"app.exe", app.substr(0, 100000) + Words(3000, 4) + app.substr(100000)}});
  const fs::path site = scratch.path() / "srv1";
  ASSERT_EQ(updpub::Publish(Options(scratch.path() / "r1", site, "1.0"), updpub::HostSiteFiles(), nullptr).exitCode,
            updpub::kPublished);
  std::string changed = app;
  changed[150000] ^= 0x20;
  WriteBytes(site / "1.0" / "app.exe", changed);
  ASSERT_EQ(updpub::Publish(Options(scratch.path() / "r2", site, "2.0"), updpub::HostSiteFiles(), nullptr).exitCode,
            updpub::kPublished);
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(engine::TrimListText(ReadBytes(site / "2.0" / "filelist.xml"))));
  const std::vector<engine::FileEntry> entries = engine::ReadServerFileList(document);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_GT(entries[0].PackedSize, 0u);
  EXPECT_TRUE(entries[0].Deltas.empty());
  EXPECT_FALSE(fs::exists(site / "2.0" / "update" / "delta"));
}

// A pair beyond the old 128 MiB window: 128 MiB of noise and the same with
// a mebibyte inserted in its middle. Only a delta finds the repeats, and the
// frame's window (single-segment: the file's size) is past 2^27.
TEST(Packing, APairBeyond128MiBGetsADeltaWithTheWindowItNeeds) {
  constexpr size_t kBaseBytes = size_t{128} << 20;
  constexpr size_t kInsertedBytes = size_t{1} << 20;
  std::mt19937_64 random(9);
  std::string base(kBaseBytes, '\0');
  for (size_t at = 0; at < base.size(); at += sizeof(uint64_t)) {
    const uint64_t word = random();
    std::memcpy(&base[at], &word, sizeof word);
  }
  std::string plain = base.substr(0, kBaseBytes / 2) + base.substr(0, kInsertedBytes) + base.substr(kBaseBytes / 2);
  for (size_t at = kBaseBytes / 2; at < kBaseBytes / 2 + kInsertedBytes; ++at) plain[at] ^= 0x5A;
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "r1", {{"data.pak", base}});
  WriteRelease(scratch.path() / "r2", {{"data.pak", plain}});
  const fs::path site = scratch.path() / "srv1";
  for (const auto& [release, version] : {std::pair{"r1", "1.0"}, std::pair{"r2", "2.0"}}) {
    updpub::PublishOptions options = Options(scratch.path() / release, site, version);
    options.packLevel = updpub::kMinPackLevel;
    const updpub::PublishResult result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
    ASSERT_EQ(result.exitCode, updpub::kPublished) << result.failure;
    EXPECT_TRUE(result.warnings.empty()) << result.warnings.at(0);
  }
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(engine::TrimListText(ReadBytes(site / "2.0" / "filelist.xml"))));
  const std::vector<engine::FileEntry> entries = engine::ReadServerFileList(document);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_EQ(entries[0].Deltas.size(), 1u);
  const std::string delta =
      ReadBytes(site / "2.0" / "update" / "delta" / entries[0].Deltas[0].BaseCrc / "data.pak.zst");
  EXPECT_LT(delta.size(), 2 * kInsertedBytes);
  ZSTD_frameHeader header;
  ASSERT_EQ(ZSTD_getFrameHeader(&header, delta.data(), delta.size()), 0u);
  EXPECT_GT(header.windowSize, uint64_t{1} << 27);
  EXPECT_TRUE(Decode(delta, base) == plain);
}

// Each segment against its own region of the base, in order, decoded by the
// updater's decoder one segment in view at a time; progress counts the
// whole file once.
TEST(Packing, DeltaInSegmentsDecodesToThePairsNewFile) {
  constexpr files::SegmentLayout kLayout{files::kMinSegment, uint64_t{128} << 10};
  std::mt19937_64 random(5);
  std::string base((uint64_t{3} << 20) + 999, '\0');
  for (char& byte : base) byte = static_cast<char>(random());
  std::string plain = base;
  std::rotate(plain.begin() + 10, plain.begin() + 70000, plain.end() - 5000);  // moved less than the reach
  for (size_t at = 777; at < plain.size(); at += 100000) plain[at] ^= 1;
  std::string object;
  std::string error;
  uint64_t lastDone = 0;
  bool backwards = false;
  ASSERT_TRUE(updpub::EncodeSegmentedDelta(
      plain, base, updpub::kMinPackLevel, object, error,
      [&](uint64_t done) {
        backwards |= done < lastDone;
        lastDone = done;
      },
      kLayout))
      << error;
  EXPECT_FALSE(backwards);
  EXPECT_EQ(lastDone, plain.size());
  EXPECT_LT(object.size(), plain.size() / 10);

  struct Views : files::SegmentViews {
    std::string_view base;
    std::string output;
    uint64_t BaseSize() const override { return base.size(); }
    bool MapSegment(files::Region in, files::Region out, std::string_view& baseView, char*& outputView) override {
      baseView = base.substr(in.offset, in.length);
      outputView = output.data() + out.offset;
      return true;
    }
  } views;
  views.base = base;
  views.output.assign(plain.size(), '\0');
  files::SegmentedDeltaDecoder decoder(views, plain.size());
  EXPECT_TRUE(decoder.Feed(object.data(), object.size()));
  EXPECT_EQ(decoder.Finish(), files::DecodeStatus::kOk);
  EXPECT_TRUE(views.output == plain);
}

TEST(Packing, NoPackWritesThePlainSiteOnly) {
  ReleasePair pair(false);
  const auto& files = pair.second();
  EXPECT_EQ(ReadBytes(pair.site() / "2.0" / "filelist.xml"),
            "<?xml version=\"1.0\" encoding=\"GBK\"?>\r\n<Files>\r\n"
            "  <File Name=\"app.exe\" Hash=\"" + CrcHex(files.at("app.exe")) + "\"/>\r\n"
            "  <File Name=\"lib_v2.dll\" Hash=\"" + CrcHex(files.at("lib_v2.dll")) + "\"/>\r\n"
            "  <File Name=\"tiny.txt\" Hash=\"" + CrcHex(files.at("tiny.txt")) + "\"/>\r\n</Files>\r\n");
  auto expected = files;
  expected["filelist.xml"] = ReadBytes(pair.site() / "2.0" / "filelist.xml");
  EXPECT_EQ(Snapshot(pair.site() / "2.0"), expected);
}

TEST(Packing, CheckReportsACorruptDeltaAndAMissingObjectAtTheirLines) {
  ReleasePair pair;
  const auto list = pair.List();
  const std::string delta = engine::DeltaObjectName("app.exe", list.at("app.exe").Deltas.at(0).BaseCrc);
  std::string bytes = Object(pair, delta);
  bytes[bytes.size() / 2] ^= 0x55;
  std::string path = delta;
  for (char& c : path) c = c == '\\' ? '/' : c;
  WriteBytes(pair.site() / "2.0" / path, bytes);
  fs::remove(pair.site() / "2.0" / "update" / "packed" / "lib_v2.dll.zst");

  FolderHttp unused(pair.root());
  const updpub::CheckReport report = updpub::CheckSite(updpub::CheckOptions{pair.site().string(), std::nullopt}, unused);
  const std::string listText = ReadBytes(pair.site() / "2.0" / "filelist.xml");
  ASSERT_EQ(report.findings.size(), 2u) << updpub::FindingLine(report.findings.at(0));
  EXPECT_EQ(report.errors, 2);
  EXPECT_EQ(report.findings[0].line, LineOf(listText, "\"app.exe\""));
  EXPECT_NE(report.findings[0].text.find("delta"), std::string::npos) << report.findings[0].text;
  EXPECT_EQ(report.findings[1].line, LineOf(listText, "\"lib_v2.dll\""));
  EXPECT_NE(report.findings[1].text.find("missing"), std::string::npos) << report.findings[1].text;
}

}  // namespace
