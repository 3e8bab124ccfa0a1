#include "engine/apply_staged.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/difference.h"
#include "support/crc_patch.h"
#include "support/memory_file_system.h"
#include "support/sha256_reference.h"

namespace {

using engine::ApplyOutcome;
using engine::FileEntry;

const std::string kFolder = "C:\\P\\";
const std::string kStaging = "C:\\P\\update\\";

class ApplyStagedTest : public testing::Test {
 protected:
  // Listed with new content, installed with old when given, staged when new differs from old.
  void Release(const std::string& name, const std::string& newContent, const char* old = nullptr) {
    testing_support::MemoryFileSystem scratch;
    scratch.files[name] = newContent;
    server_.push_back({name, scratch.Signature(name), testing_support::Sha256HexOf(newContent)});
    if (old) fs_.Put(kFolder + name, old);
    if (!old || newContent != old) fs_.Put(kStaging + name, newContent);
  }
  std::string Installed(const std::string& name) {  // "" when nothing is there
    const auto it = fs_.files.find(kFolder + name);
    return it == fs_.files.end() ? "" : it->second;
  }
  engine::ApplyResult Apply(const std::vector<FileEntry>& downloadList, bool signedList = false) {
    const engine::ApplyInput input{kFolder, "Update.exe", "Main.exe", &server_, &downloadList, signedList};
    return engine::ApplyStagedFiles(fs_, input);
  }
  std::vector<FileEntry> Difference() { return engine::FilesToDownload(server_, kFolder, fs_); }

  testing_support::MemoryFileSystem fs_;
  std::vector<FileEntry> server_;
};

TEST_F(ApplyStagedTest, HeldUnchangedFileTouchesNothingButUpdaterAndNewFilesDoNot) {
  Release("Update.exe", "u2", "u1");
  Release("new.dll", "n");
  Release("same.dll", "s", "s");
  fs_.locked = {kFolder + "Update.exe", kFolder + "same.dll"};
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kUnwritable);
  EXPECT_EQ(fs_.log, "");
  fs_.locked.erase(kFolder + "same.dll");
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(Installed("new.dll"), "n");
}

TEST_F(ApplyStagedTest, PlaceFailureStopsBeforeMainProgram) {
  Release("Main.exe", "m2", "m1");
  Release("a.dll", "a2", "a1");
  Release("b.dll", "b2", "b1");
  fs_.failMoveOnto.insert(kFolder + "b.dll");
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kPlaceFailed);
  EXPECT_EQ(Installed("a.dll") + Installed("b.dll") + Installed("Main.exe"), "a2b1m1");
  EXPECT_EQ(fs_.files.count(kStaging + "b.dll"), 1u);
}

TEST_F(ApplyStagedTest, PlacesOnlyWhatThisRunVerified) {
  Release("a.dll", "a2", "a1");
  Release("stale.dll", "s1", "s1");
  fs_.Put(kStaging + "stale.dll", "s0");  // left by a run for another release
  EXPECT_EQ(Apply({server_[0]}).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(fs_.log, "flush C:\\P\\update\\a.dll\nreplace C:\\P\\update\\a.dll -> C:\\P\\a.dll\n");
}

// A staged copy removed after its download (a virus scanner, a cleaning
// tool): nothing moves, whichever file it is, and a later try that stages it
// again finishes the job.
TEST_F(ApplyStagedTest, StagedCopyGoneMovesNothingUntilStagedAgain) {
  for (const std::string gone : {"a.dll", "Main.exe", "Update.exe"}) {
    SCOPED_TRACE(gone);
    fs_ = testing_support::MemoryFileSystem();
    server_.clear();
    Release("a.dll", "a2", "a1");
    Release("Main.exe", "m2", "m1");
    Release("Update.exe", "u2", "u1");
    Release("same.dll", "s", "s");  // unchanged, never staged
    const std::vector<FileEntry> list = Difference();
    const std::string staged = fs_.files.at(kStaging + gone);
    fs_.files.erase(kStaging + gone);
    EXPECT_EQ(Apply(list).outcome, ApplyOutcome::kStagedMissing);
    EXPECT_EQ(fs_.log, "");
    EXPECT_EQ(Installed("a.dll") + Installed("Main.exe"), "a1m1");

    fs_.Put(kStaging + gone, staged);
    const engine::ApplyResult result = Apply(Difference());
    EXPECT_EQ(result.outcome, ApplyOutcome::kApplied);
    EXPECT_TRUE(result.selfUpdatePending);
    EXPECT_EQ(Installed("a.dll") + Installed("Main.exe"), "a2m2");
  }
}

// Each staged file's data reaches the disk before its rename does.
TEST_F(ApplyStagedTest, MainProgramLastFoldersMadeAndDataFlushedFirst) {
  Release("MAIN.exe", "m2", "m1");
  Release("sub\\deep\\x.dll", "x2");
  Release("y.dll", "y2", "y1");
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(fs_.log,
            "flush C:\\P\\update\\sub\\deep\\x.dll\n"
            "mkdir C:\\P\\sub\\\nmkdir C:\\P\\sub\\deep\\\n"
            "replace C:\\P\\update\\sub\\deep\\x.dll -> C:\\P\\sub\\deep\\x.dll\n"
            "flush C:\\P\\update\\y.dll\nreplace C:\\P\\update\\y.dll -> C:\\P\\y.dll\n"
            "flush C:\\P\\update\\MAIN.exe\nreplace C:\\P\\update\\MAIN.exe -> C:\\P\\MAIN.exe\n");
}

TEST_F(ApplyStagedTest, UpdaterStaysStagedAndPendsOnlyWhenVerifiedThisRun) {
  Release("update.EXE", "u2", "u1");
  Release("bin\\Update.exe", "b2", "b1");  // another program of the same name
  EXPECT_FALSE(Apply({server_[1]}).selfUpdatePending);
  EXPECT_EQ(Installed("bin\\Update.exe"), "b2");
  EXPECT_TRUE(Apply({server_[0]}).selfUpdatePending);
  EXPECT_EQ(Installed("update.EXE"), "u1");
  fs_.files.erase(kStaging + "update.EXE");
  EXPECT_FALSE(Apply({server_[0]}).selfUpdatePending);
}

// Power fails after each possible number of file operations; every target must
// be whole, the main program new only with all the rest, and the next run
// must finish the job from the staged copies alone.
TEST_F(ApplyStagedTest, CrashAtAnyStepIsFinishedByNextRun) {
  struct File {
    std::string name, oldContent, newContent;
  };
  const std::vector<File> files = {{"Main.exe", "main 1", "main 2"},   {"a.dll", "a 1", "a 2"},
                                   {"sub\\b.dll", "b 1", "b 2"},       {"new\\n.dll", "", "n 2"},
                                   {"sub\\deep\\c.dat", "c 1", "c 2"}, {"same.txt", "same", "same"}};
  bool completed = false;
  for (long crashAt = 0; !completed; ++crashAt) {
    ASSERT_LT(crashAt, 100) << "never completed";
    SCOPED_TRACE("crash at step " + std::to_string(crashAt));
    fs_ = testing_support::MemoryFileSystem();
    server_.clear();
    for (const File& file : files) {
      Release(file.name, file.newContent, file.oldContent.empty() ? nullptr : file.oldContent.c_str());
    }
    const std::vector<FileEntry> firstList = Difference();
    fs_.crashAtStep = crashAt;
    Apply(firstList);
    completed = !fs_.crashed();

    bool othersNew = true;
    for (const File& file : files) {
      const std::string content = Installed(file.name);
      EXPECT_TRUE(content == file.oldContent || content == file.newContent) << file.name;
      if (file.name != "Main.exe" && content != file.newContent) othersNew = false;
    }
    EXPECT_TRUE(Installed("Main.exe") == "main 1" || othersNew);

    fs_.crashAtStep = -1;
    const std::vector<FileEntry> secondList = Difference();
    EXPECT_TRUE(!completed || secondList.empty());
    for (const FileEntry& entry : secondList) {
      EXPECT_TRUE(engine::SignatureMatches(fs_.Signature(kStaging + entry.Name), entry.Hash)) << entry.Name;
    }
    EXPECT_EQ(Apply(secondList).outcome, ApplyOutcome::kApplied);
    for (const File& file : files) EXPECT_EQ(Installed(file.name), file.newContent) << file.name;
  }
}

// A staged file changed after its download keeps its CRC-32 (four bytes
// appended restore it) but not its SHA-256: with a signed list nothing is
// placed, whichever file it is, and everything stays staged.
class SignedApplyTest : public ApplyStagedTest, public testing::WithParamInterface<const char*> {};

TEST_P(SignedApplyTest, StagedFileChangedSinceItsDownloadPlacesNothing) {
  Release("Update.exe", "u2", "u1");
  Release("a.dll", "a2", "a1");
  Release("Main.exe", "m2", "m1");
  Release("new.txt", "n");
  const std::vector<FileEntry> list = Difference();
  const std::string changed = kStaging + GetParam();
  const std::string genuine = fs_.files.at(changed);
  fs_.files[changed] = genuine + testing_support::CrcRestoringSuffix(genuine);
  const auto staged = fs_.files;

  // Without the signed list the CRC lets it through.
  testing_support::MemoryFileSystem unsigned_fs = fs_;
  EXPECT_EQ(engine::ApplyStagedFiles(unsigned_fs, {kFolder, "Update.exe", "Main.exe", &server_, &list})
                .outcome,
            ApplyOutcome::kApplied);

  const engine::ApplyResult result = Apply(list, true);
  EXPECT_EQ(result.outcome, ApplyOutcome::kVerifyFailed);
  EXPECT_FALSE(result.selfUpdatePending);
  EXPECT_EQ(fs_.log, "");
  EXPECT_EQ(fs_.files, staged);

  fs_.files[changed] = genuine;
  EXPECT_EQ(Apply(list, true).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(Installed("a.dll"), "a2");
  EXPECT_EQ(Installed("Main.exe"), "m2");
  EXPECT_EQ(Installed("new.txt"), "n");
}

INSTANTIATE_TEST_SUITE_P(Files, SignedApplyTest, testing::Values("Update.exe", "a.dll", "Main.exe", "new.txt"),
                         [](const auto& info) {
                           std::string name = info.param;
                           return name.substr(0, name.find('.'));
                         });

}  // namespace
