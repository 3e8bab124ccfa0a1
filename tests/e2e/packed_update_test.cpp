// Updates from sites that updpub packs, against nginx: a release pair in one
// site, so that the newer version carries deltas against the older one, and
// the updater fetching the smallest object that applies to what is installed,
// falling back when a delta is damaged or matches nothing installed.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "e2e/harness.h"
#include "e2e/host_files.h"
#include "e2e/nginx_server.h"
#include "e2e/wizard_texts.h"
#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "files/file_reader.h"

namespace e2e {
namespace {

constexpr char kOldVersion[] = "1.0";
constexpr char kNewVersion[] = "2.0";
constexpr char kBig[] = "big.dll";
constexpr char kOldLib[] = "lib-1.0.dll";
constexpr char kNewLib[] = "lib-2.0.dll";
constexpr char kStagingFolder[] = "update";
constexpr char kDeltaTrace[] = "下载差异文件:";
constexpr char kCodeDeltaTrace[] = "下载代码差异文件:";
constexpr char kBaseTrace[] = " 基准文件:";
constexpr char kPackedTrace[] = "下载压缩文件:";
constexpr char kDecodeFailedTrace[] = "解压失败:";
constexpr size_t kBigSize = size_t{2} << 20;
constexpr size_t kLibSize = size_t{256} << 10;
constexpr DWORD kPublishTimeoutMs = 120000;

using Release = std::map<std::string, std::string>;

// Compresses like a program does, unlike noise: words of a small vocabulary
// with a random byte after each, so that a packed object exists and a delta
// finds long matches.
std::string Structured(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::string> words(256);
  for (std::string& word : words) {
    word.resize(4 + random() % 28);
    for (char& byte : word) byte = static_cast<char>(random());
  }
  std::string bytes;
  bytes.reserve(size + 64);
  while (bytes.size() < size) {
    bytes += words[random() % words.size()];
    bytes += static_cast<char>(random());
  }
  bytes.resize(size);
  return bytes;
}

std::string Inserted(std::string bytes, size_t at, const std::string& more) {
  bytes.insert(at, more);
  return bytes;
}

// The value of `attribute` on the list's <File> line for `name`; "" without.
std::string ListedAttribute(const std::string& list, const std::string& name, const std::string& attribute) {
  const size_t named = list.find(" Name=\"" + name + "\"");
  if (named == std::string::npos) return "";
  const size_t start = list.rfind('\n', named) + 1;  // npos + 1 is the first line
  const std::string line = list.substr(start, list.find('\n', named) - start);
  const size_t at = line.find(" " + attribute + "=\"");
  if (at == std::string::npos) return "";
  const size_t value = at + attribute.size() + 3;
  return line.substr(value, line.find('"', value) - value);
}

// Runs a Windows program (a host path) to its end with its output in `output`; its exit
// status, or -1 when it did not start or did not end in time.
int RunWindowsProgram(const std::string& exe, const std::string& arguments, std::string& output) {
  const std::string log = UniqueHostPath("program") + ".out";
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  base::UniqueFileHandle out(CreateFileW(base::WideFromGbk(WindowsPathOf(log)).c_str(), GENERIC_WRITE,
                                         FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
  if (!out) return -1;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = startup.hStdError = out.get();
  std::wstring command = base::WideFromGbk("\"" + WindowsPathOf(exe) + "\" " + arguments);
  PROCESS_INFORMATION info{};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &info))
    return -1;
  base::UniqueKernelHandle process(info.hProcess), thread(info.hThread);
  out.reset();
  DWORD status = 0;
  const bool ended = WaitForSingleObject(process.get(), kPublishTimeoutMs) == WAIT_OBJECT_0 &&
                     GetExitCodeProcess(process.get(), &status);
  output = ReadBytes(WindowsPathOf(log)).value_or("");
  DeleteFileW(base::WideFromGbk(WindowsPathOf(log)).c_str());
  return ended ? static_cast<int>(status) : -1;
}

struct ListedObject {
  std::string path;  // as nginx looks it up
  long long size = 0;
  std::string base;  // a delta's base when it is another file
};

class PackedUpdateTest : public UpdaterTest {
 protected:
  void SetUp() override {
    if (!NginxServer::Installed()) GTEST_SKIP() << "nginx cannot start: no " << NginxServer::Executable();
    updpub_ = EnvironmentText("UPDATER_UPDPUB");
    ASSERT_FALSE(updpub_.empty()) << "UPDATER_UPDPUB must name the host's updpub";
    ASSERT_TRUE(nginx_.Start(ServerOptions())) << nginx_.error();
    releases_ = UniqueHostPath("packed-release");
  }
  virtual NginxOptions ServerOptions() const { return {}; }
  void TearDown() override {
    UpdaterTest::TearDown();
    nginx_.Stop();
    RunHostScript("rm -rf " + Quoted(releases_));
  }

  // Publishes 1.0, then 2.0 into the same site, as a vendor does release
  // after release.
  void PublishPair(const std::string& extra = "") {
    ASSERT_NO_FATAL_FAILURE(Publish(old_, kOldVersion, extra));
    ASSERT_NO_FATAL_FAILURE(Publish(new_, kNewVersion, extra));
  }
  void Publish(const Release& files, const std::string& version, const std::string& extra) {
    const std::string release = releases_ + "/" + version;
    for (const auto& [name, content] : files) {
      ASSERT_TRUE(WriteBytes(WindowsPathOf(release) + "\\" + name, content)) << name;
    }
    if (!windows_updpub_.empty()) {
      std::string output;
      const int status = RunWindowsProgram(
          windows_updpub_, "publish --from \"" + WindowsPathOf(release) + "\" --version " + version + " --site \"" +
                               WindowsPathOf(nginx_.SiteFolder()) + "\" --soft-name PackedApp --main-exe Main.exe " +
                               "--server \"Main=" + nginx_.Url("/") + "\" " + extra,
          output);
      ASSERT_EQ(status, 0) << output;
      return;
    }
    const HostResult result = RunHostScript(
        Quoted(updpub_) + " publish --from " + Quoted(release) + " --version " + version + " --site " +
        Quoted(nginx_.SiteFolder()) + " --soft-name PackedApp --main-exe Main.exe --server " +
        Quoted("Main=" + nginx_.Url("/")) + " " + extra);
    ASSERT_TRUE(result.finished) << "updpub did not finish";
    ASSERT_EQ(result.status, 0) << result.output;
  }

  std::string Served(const std::string& relative) const {
    return WindowsPathOf(nginx_.SiteFolder() + "/" + relative);
  }
  std::string NewList() const { return ReadBytes(Served(std::string(kNewVersion) + "/filelist.xml")).value_or(""); }

  // The delta of `name` in 2.0's list (there is one older version, hence
  // Delta1), and its packed object.
  ListedObject Delta(const std::string& name) const {
    const std::string value = ListedAttribute(NewList(), name, "Delta1");
    const size_t colon = value.find(':');
    if (colon == std::string::npos) return {};
    const size_t second = value.find(':', colon + 1);
    return {"/" + std::string(kNewVersion) + "/update/delta/" + value.substr(0, colon) + "/" + name + ".zst",
            std::atoll(value.c_str() + colon + 1), second == std::string::npos ? "" : value.substr(second + 1)};
  }
  ListedObject CodeDelta(const std::string& name) const {
    const std::string value = ListedAttribute(NewList(), name, "CodeDelta1");
    const size_t colon = value.find(':');
    if (colon == std::string::npos) return {};
    return {"/" + std::string(kNewVersion) + "/update/code/" + value.substr(0, colon) + "/" + name + ".ucd",
            std::atoll(value.c_str() + colon + 1), ""};
  }
  ListedObject Packed(const std::string& name) const {
    const std::string value = ListedAttribute(NewList(), name, "Packed");
    if (value.empty()) return {};
    return {"/" + std::string(kNewVersion) + "/update/packed/" + name + ".zst", std::atoll(value.c_str()), ""};
  }

  void Install(const Release& files) {
    const std::string exe = EnvironmentText("UPDATER_EXE");
    ASSERT_FALSE(exe.empty()) << "UPDATER_EXE must be set";
    ASSERT_TRUE(folder_.Create(exe, ProgramFolder::Where::kTemporary));
    for (const auto& [name, content] : files) ASSERT_TRUE(WriteBytes(folder_.path() + name, content)) << name;
  }

  void UpdateToFinish() {
    ASSERT_TRUE(StartUpdater(nginx_.Url("/update.xml") + " " + kOldVersion));
    ASSERT_TRUE(PassServerPage(kNewerVersion, kStepTimeoutMs)) << DescribeState();
    ASSERT_TRUE(ClickMainButtonWhenEnabled(main_window_, kNext, kStepTimeoutMs)) << DescribeState();
    ASSERT_TRUE(WaitForPage(kFinishPage, kStepTimeoutMs)) << DescribeState();
    // Without the main program, which this release does not hold.
    const auto box = [&] {
      const std::vector<Control> controls = Controls();
      const Control* found = FindOnPage(controls, kFinishPage, "Button");
      return found ? std::make_pair(found->hwnd, found->checked) : std::make_pair(HWND{}, -1);
    };
    ASSERT_NE(box().first, nullptr) << DescribeState();
    if (box().second == BST_CHECKED) {
      ASSERT_TRUE(Click(box().first));
    }
    ASSERT_TRUE(WaitUntil([&] { return box().second == BST_UNCHECKED; })) << DescribeState();
    ASSERT_TRUE(ClickMainButtonWhenEnabled(main_window_, kFinish, kStepTimeoutMs)) << DescribeState();
    ASSERT_TRUE(updater_.WaitForExit(kStepTimeoutMs).has_value()) << DescribeState();
  }

  // 2.0's files byte for byte, and no staging folder left. Sizes only in
  // the message: the contents are megabytes.
  void ExpectNewReleaseInstalled() {
    const std::map<std::string, std::string> after = Tree(folder_.path());
    for (const auto& [name, content] : new_) {
      const auto it = after.find(name);
      ASSERT_TRUE(it != after.end()) << name << " missing";
      EXPECT_TRUE(it->second == content) << name << " holds " << it->second.size() << " other bytes, not the "
                                         << content.size() << " of 2.0";
    }
    for (const auto& [name, content] : after) EXPECT_NE(name.rfind(kStagingFolder, 0), 0u) << name << " left";
  }

  // Publishes the pair, updates the installed 1.0 to 2.0, and expects the
  // deltas of the changed file and of the renamed one to be all it fetched.
  void UpdateByDeltas(ListedObject& big, ListedObject& lib) {
    ASSERT_NO_FATAL_FAILURE(PublishPair());
    big = Delta(kBig);
    lib = Delta(kNewLib);
    ASSERT_GT(big.size, 0) << "no delta for " << kBig << " in\n" << NewList();
    ASSERT_GT(lib.size, 0) << "no delta for " << kNewLib << " in\n" << NewList();
    EXPECT_EQ(lib.base, kOldLib);
    ASSERT_NO_FATAL_FAILURE(Install(old_));
    ASSERT_NO_FATAL_FAILURE(UpdateToFinish());
    ExpectNewReleaseInstalled();
    std::set<std::string> paths;
    for (const auto& [path, bytes] : SentForFiles()) paths.insert(path);
    EXPECT_EQ(paths, (std::set<std::string>{big.path, lib.path}));
  }

  // Bytes nginx sent per requested path of 2.0, its file list aside.
  std::map<std::string, long long> SentForFiles() const {
    std::map<std::string, long long> sent;
    const std::string folder = "/" + std::string(kNewVersion) + "/";
    for (const ServedRequest& request : nginx_.Requests()) {
      if (request.path.rfind(folder, 0) == 0 && request.path != folder + "filelist.xml") {
        sent[request.path] += request.bytes;
      }
    }
    return sent;
  }
  std::string TraceOf(const std::string& text) const { return kTracePrefix + text; }
  bool HasTraceStartingWith(const std::string& start) const {
    for (const std::string& line : updater_.Traces()) {
      if (line.rfind(start, 0) == 0) return true;
    }
    return false;
  }

  const std::string big_old_ = Structured(kBigSize, 1);
  const std::string lib_old_ = Structured(kLibSize, 2);
  Release old_ = {{kBig, big_old_}, {kOldLib, lib_old_}};
  // A few KiB inserted into the big one, some bytes into the renamed one.
  Release new_ = {{kBig, Inserted(big_old_, kBigSize / 2, Structured(4096, 10))},
                  {kNewLib, Inserted(lib_old_, kLibSize / 3, Structured(512, 11))}};
  NginxServer nginx_;
  std::string updpub_, releases_;
  std::string windows_updpub_;  // publishes instead of the host's updpub when set
};

TEST_F(PackedUpdateTest, FetchesOnlyTheDeltasAgainstTheInstalledRelease) {
  ListedObject big, lib;
  ASSERT_NO_FATAL_FAILURE(UpdateByDeltas(big, lib));
  const std::map<std::string, long long> sent = SentForFiles();
  long long sent_total = 0;
  for (const auto& [path, bytes] : sent) sent_total += bytes;
  const long long plain_total = static_cast<long long>(new_[kBig].size() + new_[kNewLib].size());
  RecordProperty("plain_bytes", std::to_string(plain_total));
  RecordProperty("delta_bytes", std::to_string(big.size + lib.size));
  RecordProperty("sent_bytes", std::to_string(sent_total));
  EXPECT_LE(sent_total, big.size + lib.size);
  EXPECT_LT(sent_total * 50, plain_total) << sent_total << " of " << plain_total << " plain bytes sent";
  EXPECT_TRUE(updater_.HasTrace(TraceOf(kDeltaTrace + nginx_.Url(big.path) + kBaseTrace + kBig))) << DescribeState();
  EXPECT_TRUE(updater_.HasTrace(TraceOf(kDeltaTrace + nginx_.Url(lib.path) + kBaseTrace + kOldLib)))
      << DescribeState();
}

// The Windows build of updpub packs with the encoder MinGW built from the
// decoder's own source tree: its deltas, renamed base included, must be ones
// the updater takes.
TEST_F(PackedUpdateTest, SitePublishedByTheWindowsUpdpubUpdatesByItsDeltas) {
  windows_updpub_ = EnvironmentText("UPDATER_WINDOWS_UPDPUB");
  ASSERT_FALSE(windows_updpub_.empty()) << "UPDATER_WINDOWS_UPDPUB must name the Windows updpub.exe";
  ListedObject big, lib;
  ASSERT_NO_FATAL_FAILURE(UpdateByDeltas(big, lib));
}

TEST_F(PackedUpdateTest, DamagedDeltaFallsBackToThePackedObject) {
  ASSERT_NO_FATAL_FAILURE(PublishPair());
  const ListedObject delta = Delta(kBig), packed = Packed(kBig);
  ASSERT_GT(delta.size, 0) << NewList();
  ASSERT_GT(packed.size, 0) << NewList();
  // The frame's header stays, so the decoder starts and meets the damage.
  std::string bytes = ReadBytes(Served(delta.path)).value_or("");
  ASSERT_EQ(static_cast<long long>(bytes.size()), delta.size);
  for (size_t i = 20; i < bytes.size(); ++i) bytes[i] = static_cast<char>(~bytes[i]);
  ASSERT_TRUE(WriteBytes(Served(delta.path), bytes));
  ASSERT_NO_FATAL_FAILURE(Install(old_));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  ExpectNewReleaseInstalled();
  EXPECT_TRUE(HasTraceStartingWith(TraceOf(kDecodeFailedTrace))) << DescribeState();
  EXPECT_TRUE(updater_.HasTrace(TraceOf(kPackedTrace + nginx_.Url(packed.path)))) << DescribeState();
  const std::map<std::string, long long> sent = SentForFiles();
  EXPECT_EQ(sent.count(delta.path), 1u);
  EXPECT_EQ(sent.count(packed.path), 1u);
  EXPECT_EQ(sent.count("/" + std::string(kNewVersion) + "/" + kBig), 0u) << "the plain file was fetched";
}

TEST_F(PackedUpdateTest, InstalledFileMatchingNoBaseGetsThePackedObject) {
  ASSERT_NO_FATAL_FAILURE(PublishPair());
  const ListedObject delta = Delta(kBig), packed = Packed(kBig);
  ASSERT_GT(packed.size, 0) << NewList();
  Release installed = old_;
  installed[kBig] = Structured(kBigSize, 3);
  ASSERT_NO_FATAL_FAILURE(Install(installed));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  ExpectNewReleaseInstalled();
  EXPECT_TRUE(updater_.HasTrace(TraceOf(kPackedTrace + nginx_.Url(packed.path)))) << DescribeState();
  const std::map<std::string, long long> sent = SentForFiles();
  EXPECT_EQ(sent.count(delta.path), 0u) << "a delta against another base was fetched";
  EXPECT_EQ(sent.count("/" + std::string(kNewVersion) + "/" + kBig), 0u) << "the plain file was fetched";
  EXPECT_EQ(sent.count(packed.path), 1u);
}

TEST_F(PackedUpdateTest, UnpackedSiteUpdatesWithThePlainFiles) {
  ASSERT_NO_FATAL_FAILURE(PublishPair("--no-pack"));
  ASSERT_NO_FATAL_FAILURE(Install(old_));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  ExpectNewReleaseInstalled();
  const std::string folder = "/" + std::string(kNewVersion) + "/";
  std::set<std::string> paths;
  for (const auto& [path, bytes] : SentForFiles()) paths.insert(path);
  EXPECT_EQ(paths, (std::set<std::string>{folder + kBig, folder + kNewLib}));
  for (const ServedRequest& request : nginx_.Requests()) {
    EXPECT_EQ(request.path.find("/update/"), std::string::npos) << request.path << " asked for";
  }
}

// A library built twice by MinGW (the build puts the pair in
// UPDATER_CODE_SAMPLES): its code delta is all the update fetches.
class CodeDeltaUpdateTest : public PackedUpdateTest {
 protected:
  void SetUp() override {
    PackedUpdateTest::SetUp();
    if (IsSkipped()) return;
    const std::string samples = EnvironmentText("UPDATER_CODE_SAMPLES");
    ASSERT_FALSE(samples.empty()) << "UPDATER_CODE_SAMPLES must name the sample libraries' folder";
    const std::string first = ReadBytes(WindowsPathOf(samples + "/i686_first.dll")).value_or("");
    const std::string second = ReadBytes(WindowsPathOf(samples + "/i686_second.dll")).value_or("");
    ASSERT_FALSE(first.empty() || second.empty()) << "no sample libraries in " << samples;
    old_ = {{kSample, first}};
    new_ = {{kSample, second}};
  }
  static constexpr char kSample[] = "sample.dll";
};

TEST_F(CodeDeltaUpdateTest, FetchesTheCodeDeltaAndInstallsTheLibraryByteForByte) {
  ASSERT_NO_FATAL_FAILURE(PublishPair());
  const ListedObject code = CodeDelta(kSample), delta = Delta(kSample);
  ASSERT_GT(code.size, 0) << "no code delta in\n" << NewList();
  ASSERT_GT(delta.size, 0) << NewList();
  EXPECT_LT(code.size, delta.size);
  ASSERT_NO_FATAL_FAILURE(Install(old_));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  ExpectNewReleaseInstalled();
  std::set<std::string> paths;
  for (const auto& [path, bytes] : SentForFiles()) paths.insert(path);
  EXPECT_EQ(paths, (std::set<std::string>{code.path}));
  EXPECT_TRUE(updater_.HasTrace(TraceOf(kCodeDeltaTrace + nginx_.Url(code.path) + kBaseTrace + kSample)))
      << DescribeState();
}

TEST_F(CodeDeltaUpdateTest, DamagedCodeDeltaFallsBackToTheDelta) {
  ASSERT_NO_FATAL_FAILURE(PublishPair());
  const ListedObject code = CodeDelta(kSample), delta = Delta(kSample);
  ASSERT_GT(code.size, 0) << NewList();
  ASSERT_GT(delta.size, 0) << NewList();
  // The header and most of the map stay, so the decoder gets to the damage.
  std::string bytes = ReadBytes(Served(code.path)).value_or("");
  ASSERT_EQ(static_cast<long long>(bytes.size()), code.size);
  for (size_t i = bytes.size() / 2; i < bytes.size(); ++i) bytes[i] = static_cast<char>(~bytes[i]);
  ASSERT_TRUE(WriteBytes(Served(code.path), bytes));
  ASSERT_NO_FATAL_FAILURE(Install(old_));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  ExpectNewReleaseInstalled();
  EXPECT_TRUE(HasTraceStartingWith(TraceOf(kDecodeFailedTrace))) << DescribeState();
  EXPECT_TRUE(updater_.HasTrace(TraceOf(kDeltaTrace + nginx_.Url(delta.path) + kBaseTrace + kSample)))
      << DescribeState();
  std::set<std::string> paths;
  for (const auto& [path, sent] : SentForFiles()) paths.insert(path);
  EXPECT_EQ(paths, (std::set<std::string>{code.path, delta.path}));
}

// A library renamed in each of four releases leaves four older copies
// installed, so the newest one is listed with four deltas and a packed
// object before the plain file. A mirror that lacks every object (a sync
// that stopped short) still updates in one run from the plain file.
TEST_F(PackedUpdateTest, MirrorWithoutItsObjectsUpdatesFromThePlainFileBehindFourDeltas) {
  const char* versions[] = {"1.0", "1.1", "1.2", "1.3"};
  Release installed;
  std::string lib = lib_old_;
  for (int i = 0; i < 4; ++i) {
    const std::string name = std::string("lib-") + versions[i] + ".dll";
    lib = Inserted(lib, kLibSize / 5 * (i + 1), Structured(300, 20 + i));
    ASSERT_NO_FATAL_FAILURE(Publish({{kBig, big_old_}, {name, lib}}, versions[i], "--deltas 4"));
    installed[name] = lib;
  }
  installed[kBig] = big_old_;
  ASSERT_NO_FATAL_FAILURE(Publish(new_, kNewVersion, "--deltas 4"));
  for (const char* attribute : {"Delta1", "Delta2", "Delta3", "Delta4", "Packed"})
    ASSERT_FALSE(ListedAttribute(NewList(), kNewLib, attribute).empty()) << attribute << " missing in\n" << NewList();
  RunHostScript("rm -rf " + Quoted(nginx_.SiteFolder() + "/" + kNewVersion + "/update"));
  ASSERT_NO_FATAL_FAILURE(Install(installed));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  ExpectNewReleaseInstalled();
  const std::string plain = "/" + std::string(kNewVersion) + "/" + kNewLib;
  int deltas = 0, plains = 0, packed = 0;
  for (const ServedRequest& request : nginx_.Requests()) {
    if (request.path.find("/update/delta/") != std::string::npos && request.path.find(kNewLib) != std::string::npos) ++deltas;
    if (request.path.find("/update/packed/" + std::string(kNewLib)) != std::string::npos) ++packed;
    if (request.path == plain && request.status == 200) ++plains;
  }
  EXPECT_EQ(deltas, 3) << "the first three attempts go to the smallest deltas";
  EXPECT_EQ(packed, 0);
  EXPECT_EQ(plains, 1);
}

// An answer far longer than the size the list gives for the object is
// refused before its body is read, and the update finishes from the plain
// file. The answer comes at a link's pace: Windows discards what is unread
// when the request is closed, Wine's WinINet reads on while more is at hand
// at once, which on loopback would be all of it.
class OversizedAnswerTest : public PackedUpdateTest {
 protected:
  NginxOptions ServerOptions() const override {
    NginxOptions options;
    options.throttled_path = "/" + std::string(kNewVersion) + "/update/packed/" + kNewLib + ".zst";
    options.throttle_bytes_per_s = 1 << 20;
    return options;
  }
};

TEST_F(OversizedAnswerTest, AnswerLongerThanTheListedObjectIsRefusedUnread) {
  ASSERT_NO_FATAL_FAILURE(PublishPair());
  const ListedObject packed = Packed(kNewLib);
  ASSERT_GT(packed.size, 0) << NewList();
  ASSERT_LT(packed.size, 100000) << NewList();
  ASSERT_TRUE(WriteBytes(Served(packed.path), std::string(size_t{40} << 20, 'x')));
  Release installed = old_;
  installed[kOldLib] = Structured(kLibSize, 4);  // no delta applies
  ASSERT_NO_FATAL_FAILURE(Install(installed));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  ExpectNewReleaseInstalled();
  const std::map<std::string, long long> sent = SentForFiles();
  ASSERT_EQ(sent.count(packed.path), 1u);
  EXPECT_LE(sent.at(packed.path), 4ll << 20) << "bytes of the oversized answer sent";
  EXPECT_EQ(sent.count("/" + std::string(kNewVersion) + "/" + kNewLib), 1u);
  EXPECT_TRUE(HasTraceStartingWith(TraceOf("应答长度与文件列表不符:"))) << DescribeState();
}

// A file of about 200 MB, made on the host (seeded, compressible), whose
// delta asks for a window beyond 2^27 bytes: the updater decodes it through
// mapped files. The delta comes from the zstd command itself, so the case
// holds whatever sizes the publisher makes deltas for.
class LargeDeltaUpdateTest : public PackedUpdateTest {
 protected:
  void SetUp() override {
    PackedUpdateTest::SetUp();
    old_.clear();  // the host writes the releases
    new_.clear();
  }
  void UpdateByDelta(const char* script, const char* attribute, const char* folder, const char* suffix);
  static constexpr char kLarge[] = "big.bin";
  static constexpr size_t kLargeSize = size_t{200} << 20;
};

// The two releases' big.bin: a second of them rewritten, 8 MiB moved to the
// end, a few KiB inserted.
constexpr char kMakePair[] = R"SH(python3 - "$@" <<'PY'
import random, sys
old_path, new_path, size = sys.argv[1], sys.argv[2], int(sys.argv[3])
rnd = random.Random(31)
words = [rnd.randbytes(rnd.randint(4, 31)) for _ in range(4096)]
def text(n):
    return b''.join(rnd.choices(words, k=n // 17 + 1))[:n]
old = text(size)
mib = 1 << 20
new = bytearray(old)
new[size // 2:size // 2 + mib] = text(mib)
moved = bytes(new[10 * mib:18 * mib])
del new[10 * mib:18 * mib]
new += moved
new[size // 3:size // 3] = text(4096)
open(old_path, 'wb').write(old)
open(new_path, 'wb').write(new)
PY)SH";

// The delta of 2.0's big.bin against 1.0's at level 3 with a window as
// large as the pair needs, and 2.0's list naming it.
constexpr char kMakeDelta[] = R"SH(python3 - "$@" <<'PY'
import os, re, subprocess, sys
site, old, new = sys.argv[1], sys.argv[2], sys.argv[3]
older = open(site + '/1.0/filelist.xml', 'rb').read()
crc = re.search(rb'<File Name="big\.bin"[^>]*? Hash="([0-9A-F]+)"', older).group(1)
delta = site + '/2.0/update/delta/' + crc.decode() + '/big.bin.zst'
os.makedirs(os.path.dirname(delta), exist_ok=True)
subprocess.run(['zstd', '-q', '-f', '-3', '--long=30', '--patch-from=' + old, new, '-o', delta], check=True)
listing = site + '/2.0/filelist.xml'
text = open(listing, 'rb').read()
line = re.search(rb'<File Name="big\.bin"[^>]*?/>', text).group(0)
extra = b'' if b' Size="' in line else b' Size="%d"' % os.path.getsize(new)
extra += b' Delta1="%s:%d"' % (crc, os.path.getsize(delta))
open(listing, 'wb').write(text.replace(line, line[:-2] + extra + b'/>'))
PY)SH";

// The same pair's delta in segments, made as the format describes with the
// zstd command: segments and reach of sizes that are no multiple of a page,
// so that every region begins where a view cannot.
constexpr char kMakeSegmentedDelta[] = R"SH(python3 - "$@" <<'PY'
import os, re, struct, subprocess, sys, tempfile
site, old, new = sys.argv[1], sys.argv[2], sys.argv[3]
segment, reach = (48 << 20) + 1, (16 << 20) + 4097
older = open(site + '/1.0/filelist.xml', 'rb').read()
crc = re.search(rb'<File Name="big\.bin"[^>]*? Hash="([0-9A-F]+)"', older).group(1)
base, plain = open(old, 'rb').read(), open(new, 'rb').read()
frames = []
with tempfile.TemporaryDirectory() as work:
    for start in range(0, len(plain), segment):
        lo = min(max(0, start - reach), len(base))
        hi = min(start + segment + reach, len(base))
        open(work + '/region', 'wb').write(base[lo:max(lo, hi)])
        open(work + '/segment', 'wb').write(plain[start:start + segment])
        subprocess.run(['zstd', '-q', '-f', '-3', '--long=28', '--patch-from=' + work + '/region',
                        work + '/segment', '-o', work + '/frame'], check=True)
        frames.append(open(work + '/frame', 'rb').read())
head = b'USD\x01' + struct.pack('<III', segment, reach, len(frames))
head += b''.join(struct.pack('<I', len(f)) for f in frames)
delta = site + '/2.0/update/segmented/' + crc.decode() + '/big.bin.usd'
os.makedirs(os.path.dirname(delta), exist_ok=True)
open(delta, 'wb').write(head + b''.join(frames))
listing = site + '/2.0/filelist.xml'
text = open(listing, 'rb').read()
line = re.search(rb'<File Name="big\.bin"[^>]*?/>', text).group(0)
extra = b'' if b' Size="' in line else b' Size="%d"' % len(plain)
extra += b' SegmentedDelta1="%s:%d"' % (crc, os.path.getsize(delta))
open(listing, 'wb').write(text.replace(line, line[:-2] + extra + b'/>'))
PY)SH";

// Whether two files hold the same bytes, read in pieces.
bool SameBytes(const std::string& a, const std::string& b) {
  files::FileReader first(a), second(b);
  std::string one(size_t{1} << 20, '\0'), two(one.size(), '\0');
  for (;;) {
    size_t got = 0, other = 0;
    if (!first.Read(one.data(), one.size(), &got) || !second.Read(two.data(), got, &other) || other != got)
      return false;
    if (got == 0) return second.Read(two.data(), 1, &other) && other == 0;
    if (one.compare(0, got, two, 0, got) != 0) return false;
  }
}

// The large pair made and published plain, `script` adding its delta; the
// delta listed by `attribute` is then the only object the update fetches.
void LargeDeltaUpdateTest::UpdateByDelta(const char* script, const char* attribute, const char* folder,
                                         const char* suffix) {
  const std::string oldFile = releases_ + "/" + kOldVersion + "/" + kLarge;
  const std::string newFile = releases_ + "/" + kNewVersion + "/" + kLarge;
  const HostResult made =
      RunHostScript("mkdir -p " + Quoted(releases_ + "/" + kOldVersion) + " " +
                    Quoted(releases_ + "/" + kNewVersion) + "\nset -- " + Quoted(oldFile) + " " + Quoted(newFile) +
                    " " + std::to_string(kLargeSize) + "\n" + kMakePair);
  ASSERT_TRUE(made.finished && made.status == 0) << made.output;
  ASSERT_NO_FATAL_FAILURE(PublishPair("--no-pack"));
  const HostResult delta = RunHostScript("set -- " + Quoted(nginx_.SiteFolder()) + " " + Quoted(oldFile) + " " +
                                         Quoted(newFile) + "\n" + script);
  ASSERT_TRUE(delta.finished && delta.status == 0) << delta.output;
  const std::string value = ListedAttribute(NewList(), kLarge, attribute);
  const size_t colon = value.find(':');
  ASSERT_NE(colon, std::string::npos) << NewList();
  const ListedObject listed{"/" + std::string(kNewVersion) + "/update/" + folder + "/" + value.substr(0, colon) + "/" +
                                kLarge + suffix,
                            std::atoll(value.c_str() + colon + 1), ""};
  ASSERT_GT(listed.size, 0) << NewList();
  ASSERT_NO_FATAL_FAILURE(Install(old_));
  ASSERT_TRUE(CopyFileW(base::WideFromGbk(WindowsPathOf(oldFile)).c_str(),
                        base::WideFromGbk(folder_.path() + kLarge).c_str(), FALSE));
  ASSERT_NO_FATAL_FAILURE(UpdateToFinish());

  EXPECT_TRUE(SameBytes(folder_.path() + kLarge, WindowsPathOf(newFile)));
  std::set<std::string> paths;
  for (const auto& [path, bytes] : SentForFiles()) paths.insert(path);
  EXPECT_EQ(paths, (std::set<std::string>{listed.path}));
  EXPECT_FALSE(files::PathExists(folder_.path() + kStagingFolder)) << "the staging folder was left";
}

TEST_F(LargeDeltaUpdateTest, FileOfTwoHundredMegabytesUpdatesByItsDelta) {
  UpdateByDelta(kMakeDelta, "Delta1", "delta", ".zst");
}

// Segment by segment, each region mapped at an offset no view may begin at.
TEST_F(LargeDeltaUpdateTest, FileOfTwoHundredMegabytesUpdatesByItsDeltaInSegments) {
  UpdateByDelta(kMakeSegmentedDelta, "SegmentedDelta1", "segmented", ".usd");
}

}  // namespace
}  // namespace e2e
