// Code deltas on a real pair: a small library built twice by MinGW with a
// function inserted and a string changed, so every reference after them
// moves. Encoded by updpub, decoded by the updater's decoder, published and
// checked.
#include <gtest/gtest.h>


#include "codecs/code_delta_decoder.h"
#include "digests/crc32.h"
#include "files/file_system.h"
#include "site/file_objects.h"
#include "tool_support.h"
#include "updpub/check/site_check.h"
#include "updpub/packing/code_delta_encoder.h"
#include "updpub/packing/memory_estimate.h"
#include "updpub/packing/object_codec.h"
#include "updpub/packing/pack_release.h"
#include "updpub/packing/target_corrections.h"
#include "updpub/publish/documents.h"
#include "xml/xml_document.h"

namespace {

using namespace tool_testing;

class StringSink : public files::WritableFile {
 public:
  bool Write(const void* data, size_t size) override {
    bytes.append(static_cast<const char*>(data), size);
    return true;
  }
  void Close() override {}
  std::string bytes;
};

struct Sample {
  std::string first;
  std::string second;
};

// The pair for an architecture; empty when its compiler is not installed.
Sample SampleOf(const std::string& arch) {
  const fs::path dir = UPDPUB_CODE_SAMPLES;
  if (!fs::exists(dir / (arch + "_first.dll"))) return {};
  return {ReadBytes(dir / (arch + "_first.dll")), ReadBytes(dir / (arch + "_second.dll"))};
}

files::DecodeStatus Decode(const std::string& object, const std::string& base, uint64_t size, std::string& out) {
  StringSink sink;
  files::CodeDeltaDecoder decoder(sink, size, base);
  constexpr size_t kPiece = 4096;
  for (size_t at = 0; at < object.size(); at += kPiece)
    if (!decoder.Feed(object.data() + at, std::min(kPiece, object.size() - at))) break;
  const files::DecodeStatus status = decoder.Finish();
  out = sink.bytes;
  return status;
}

class SampleLibrary : public testing::TestWithParam<const char*> {};

TEST_P(SampleLibrary, CodeDeltaIsSmallerThanTheZstdDeltaAndDecodesByteForByte) {
  const Sample sample = SampleOf(GetParam());
  if (sample.first.empty()) GTEST_SKIP() << GetParam() << "-w64-mingw32-gcc is not installed";
  ASSERT_TRUE(updpub::IsCodeFile(sample.first));
  ASSERT_NE(sample.first, sample.second);
  std::string code, delta, error;
  ASSERT_TRUE(updpub::EncodeCodeDelta(sample.second, sample.first, updpub::kDefaultPackLevel, code, error)) << error;
  ASSERT_TRUE(updpub::EncodeObject(sample.second, sample.first, updpub::kDefaultPackLevel, delta, error)) << error;
  std::string out;
  EXPECT_EQ(Decode(code, sample.first, sample.second.size(), out), files::DecodeStatus::kOk);
  EXPECT_TRUE(out == sample.second);
  EXPECT_LT(code.size(), delta.size());
}

// A damaged residual never gives the listed file: the stream refuses it, or
// what it decodes fails the CRC-32 the updater checks every decoded file by
// (the residual carries no checksum of its own).
TEST_P(SampleLibrary, DamagedCodeDeltaIsRefused) {
  const Sample sample = SampleOf(GetParam());
  if (sample.first.empty()) GTEST_SKIP() << GetParam() << "-w64-mingw32-gcc is not installed";
  std::string code, error;
  ASSERT_TRUE(updpub::EncodeCodeDelta(sample.second, sample.first, updpub::kDefaultPackLevel, code, error)) << error;
  for (size_t at : {code.size() / 2, code.size() - 6}) {
    std::string damaged = code;
    damaged[at] = static_cast<char>(damaged[at] ^ 0x40);
    std::string out;
    const files::DecodeStatus status = Decode(damaged, sample.first, sample.second.size(), out);
    const uint32_t listed = files::Crc32Update(0, sample.second.data(), sample.second.size());
    EXPECT_TRUE(status != files::DecodeStatus::kOk || files::Crc32Update(0, out.data(), out.size()) != listed) << at;
  }
}

INSTANTIATE_TEST_SUITE_P(Architectures, SampleLibrary, testing::Values("i686", "x86_64"));

// A correction is chosen where the new file's references to an old address
// agree more often than the prediction was right, and only to an address
// inside the new file's sections.
TEST(TargetCorrections, TheNewFilesReferencesOutvoteThePrediction) {
  files::PeLayout layout;
  layout.imageBase = 0x400000;
  layout.sections = {{0x1000, 0x1000, 0, 0x1000}};
  std::string plain(0x100, '\0');
  const auto pointer = [&](uint32_t at, uint32_t target) {
    for (int i = 0; i < 4; ++i) plain[at + i] = static_cast<char>((layout.imageBase + target) >> (8 * i));
  };
  std::vector<files::MovedReference> moved;
  const auto reference = [&](uint32_t at, uint32_t oldTarget, uint32_t predicted, uint32_t actual) {
    pointer(at, actual);
    moved.push_back({at, oldTarget, predicted, true, files::ReferenceKind::kAbsolute32});
  };
  reference(0x00, 0x1100, 0x1100, 0x1180);  // two of three moved elsewhere: corrected
  reference(0x04, 0x1100, 0x1100, 0x1180);
  reference(0x08, 0x1100, 0x1100, 0x1100);
  reference(0x0C, 0x1200, 0x1200, 0x1280);  // one each way: left to the blocks
  reference(0x10, 0x1200, 0x1200, 0x1200);
  reference(0x14, 0x1300, 0x1300, 0x2000);  // past the sections: never
  reference(0x18, 0x1400, 0x1400, 0x1480);  // a lone reference moved: corrected
  const std::vector<files::TargetCorrection> corrections = updpub::ChooseCorrections(plain, layout, moved);
  ASSERT_EQ(corrections.size(), 2u);
  EXPECT_EQ(corrections[0].oldTarget, 0x1100u);
  EXPECT_EQ(corrections[0].newTarget, 0x1180u);
  EXPECT_EQ(corrections[1].oldTarget, 0x1400u);
  EXPECT_EQ(corrections[1].newTarget, 0x1480u);
}

TEST(CodeDeltaPublishing, TheListOffersACodeDeltaBesideTheDeltaAndCheckDecodesIt) {
  const Sample sample = SampleOf("i686");
  ASSERT_FALSE(sample.first.empty()) << "the project's own compiler builds the 32-bit sample";
  ScratchFolder scratch;
  const fs::path site = scratch.path() / "srv1";
  WriteRelease(scratch.path() / "r1", {{"lib.dll", sample.first}, {"notes.txt", std::string(5000, 'n')}});
  WriteRelease(scratch.path() / "r2", {{"lib.dll", sample.second}, {"notes.txt", std::string(6000, 'm')}});
  for (const auto& [release, version] : {std::pair{"r1", "1.0"}, std::pair{"r2", "2.0"}}) {
    const updpub::PublishOptions options = Options(scratch.path() / release, site, version);
    ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);
  }
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(engine::TrimListText(ReadBytes(site / "2.0" / "filelist.xml"))));
  std::map<std::string, engine::FileEntry> list;
  for (engine::FileEntry& entry : engine::ReadServerFileList(document)) list[entry.Name] = std::move(entry);
  const engine::FileEntry& lib = list.at("lib.dll");
  ASSERT_EQ(lib.CodeDeltas.size(), 1u);
  ASSERT_EQ(lib.Deltas.size(), 1u);
  EXPECT_EQ(lib.CodeDeltas[0].BaseCrc, CrcHex(sample.first));
  EXPECT_LT(lib.CodeDeltas[0].Size, lib.Deltas[0].Size);
  const std::string code = ReadBytes(site / "2.0" / "update" / "code" / lib.CodeDeltas[0].BaseCrc / "lib.dll.ucd");
  EXPECT_EQ(code.size(), lib.CodeDeltas[0].Size);
  std::string out;
  EXPECT_EQ(Decode(code, sample.first, sample.second.size(), out), files::DecodeStatus::kOk);
  EXPECT_TRUE(out == sample.second);
  // Text is no executable: no code delta is tried for it.
  EXPECT_TRUE(list.at("notes.txt").CodeDeltas.empty());

  FolderHttp http(scratch.path());
  updpub::CheckOptions options{"http://mirror.test/srv1/update.xml", std::nullopt};
  options.olderVersions = {"1.0"};
  EXPECT_TRUE(updpub::CheckSite(options, http).findings.empty());

  // A damaged code delta is reported by check at its line.
  std::string damaged = code;
  damaged[damaged.size() / 2] ^= 0x40;
  WriteBytes(site / "2.0" / "update" / "code" / lib.CodeDeltas[0].BaseCrc / "lib.dll.ucd", damaged);
  const updpub::CheckReport report = updpub::CheckSite(options, http);
  ASSERT_EQ(report.findings.size(), 1u);
  EXPECT_NE(updpub::FindingLine(report.findings[0]).find("code delta"), std::string::npos)
      << updpub::FindingLine(report.findings[0]);
}

// A vendor can leave code deltas out: the executable gets its zstd delta
// only, and no folder of code deltas is written.
TEST(CodeDeltaPublishing, WithoutCodeDeltasTheListOffersOnlyTheDelta) {
  const Sample sample = SampleOf("i686");
  ASSERT_FALSE(sample.first.empty()) << "the project's own compiler builds the 32-bit sample";
  ScratchFolder scratch;
  const fs::path site = scratch.path() / "srv1";
  WriteRelease(scratch.path() / "r1", {{"lib.dll", sample.first}});
  WriteRelease(scratch.path() / "r2", {{"lib.dll", sample.second}});
  for (const auto& [release, version] : {std::pair{"r1", "1.0"}, std::pair{"r2", "2.0"}}) {
    updpub::PublishOptions options = Options(scratch.path() / release, site, version);
    options.codeDeltas = false;
    ASSERT_EQ(updpub::Publish(options, updpub::HostSiteFiles(), nullptr).exitCode, updpub::kPublished);
  }
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(engine::TrimListText(ReadBytes(site / "2.0" / "filelist.xml"))));
  const std::vector<engine::FileEntry> list = engine::ReadServerFileList(document);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_TRUE(list[0].CodeDeltas.empty());
  EXPECT_EQ(list[0].Deltas.size(), 1u);
  EXPECT_FALSE(fs::exists(site / "2.0" / "update" / "code"));
}

// A rebuild that changed one byte (of the DOS stub's text): the zstd delta is
// a few bytes, the code delta pays for its header and map, yet beats the
// packed object. The delta is what an updater without code deltas takes, so
// the larger code delta is not written.
TEST(CodeDeltaPublishing, ACodeDeltaLargerThanTheDeltaOfItsBaseIsNotWritten) {
  const Sample sample = SampleOf("i686");
  ASSERT_FALSE(sample.first.empty()) << "the project's own compiler builds the 32-bit sample";
  std::string changed = sample.first;
  const size_t text = changed.find("DOS mode");
  ASSERT_NE(text, std::string::npos);
  changed[text] = 'd';
  std::string code, delta, packed, error;
  ASSERT_TRUE(updpub::EncodeCodeDelta(changed, sample.first, updpub::kDefaultPackLevel, code, error)) << error;
  ASSERT_TRUE(updpub::EncodeObject(changed, sample.first, updpub::kDefaultPackLevel, delta, error)) << error;
  ASSERT_TRUE(updpub::EncodeObject(changed, {}, updpub::kDefaultPackLevel, packed, error)) << error;
  ASSERT_GT(code.size(), delta.size());
  ASSERT_LT(code.size(), packed.size());

  ScratchFolder scratch;
  const fs::path site = scratch.path() / "srv1";
  WriteRelease(scratch.path() / "r1", {{"lib.dll", sample.first}});
  WriteRelease(scratch.path() / "r2", {{"lib.dll", changed}});
  ASSERT_EQ(updpub::Publish(Options(scratch.path() / "r1", site, "1.0"), updpub::HostSiteFiles(), nullptr).exitCode,
            updpub::kPublished);
  const updpub::ReleaseTree release = updpub::ScanRelease(scratch.path() / "r2", true);
  ASSERT_EQ(release.files.size(), 1u);
  std::vector<engine::FileEntry> entries(1);
  entries[0].Name = release.files[0].listName;
  entries[0].Hash = updpub::CrcText(Crc(changed));
  updpub::PackSettings settings;
  settings.site = site;
  settings.latest = "1.0";
  settings.publishing = "2.0";
  settings.level = updpub::kDefaultPackLevel;
  const fs::path staged = scratch.path() / "staged";
  fs::create_directories(staged);
  const updpub::PackResult result =
      updpub::PackRelease(updpub::HostSiteFiles(), release, staged, settings, entries, nullptr);
  ASSERT_TRUE(result.ok) << result.error;
  ASSERT_EQ(entries[0].Deltas.size(), 1u);
  EXPECT_EQ(entries[0].Deltas[0].Size, delta.size());
  EXPECT_TRUE(entries[0].CodeDeltas.empty());
  EXPECT_FALSE(fs::exists(staged / "update" / "code"));
}

// A code delta needs more memory than the zstd delta of the same pair: where
// publishing may hold enough for the latter only, the file is published with
// its delta and standard error says which form was left out.
TEST(CodeDeltaPublishing, AFormBeyondTheMemoryBudgetIsLeftOutWithANote) {
  const Sample sample = SampleOf("i686");
  ASSERT_FALSE(sample.first.empty()) << "the project's own compiler builds the 32-bit sample";
  ScratchFolder scratch;
  const fs::path site = scratch.path() / "srv1";
  WriteRelease(scratch.path() / "r1", {{"big.exe", sample.first}});
  WriteRelease(scratch.path() / "r2", {{"big.exe", sample.second}});
  const int level = updpub::kMinPackLevel;  // the level plays no part here; the lowest is quick
  const uint64_t deltaMemory = updpub::DeltaMemory(sample.second.size(), sample.first.size(), level);
  ASSERT_LT(deltaMemory, updpub::CodeDeltaMemory(sample.second.size(), sample.first.size(), level));
  updpub::PublishResult result;
  for (const auto& [release, version] : {std::pair{"r1", "1.0"}, std::pair{"r2", "2.0"}}) {
    updpub::PublishOptions options = Options(scratch.path() / release, site, version);
    options.packLevel = level;
    options.packMemory = {deltaMemory, deltaMemory};
    result = updpub::Publish(options, updpub::HostSiteFiles(), nullptr);
    ASSERT_EQ(result.exitCode, updpub::kPublished) << result.failure;
  }
  EXPECT_EQ(result.packed.deltas, 1u);
  EXPECT_EQ(result.packed.codeDeltas, 0u);
  ASSERT_EQ(result.warnings.size(), 1u);
  EXPECT_EQ(result.warnings[0].rfind("big.exe: no code delta against 1.0/big.exe: it would need about", 0), 0u)
      << result.warnings[0];
  xml::XmlDocument document;
  ASSERT_TRUE(document.LoadFromBytes(engine::TrimListText(ReadBytes(site / "2.0" / "filelist.xml"))));
  const std::vector<engine::FileEntry> list = engine::ReadServerFileList(document);
  ASSERT_EQ(list.size(), 1u);
  ASSERT_EQ(list[0].Deltas.size(), 1u);
  EXPECT_TRUE(list[0].CodeDeltas.empty());
  EXPECT_EQ(fs::file_size(site / "2.0" / "update" / "delta" / list[0].Deltas[0].BaseCrc / "big.exe.zst"),
            list[0].Deltas[0].Size);
}

}  // namespace
