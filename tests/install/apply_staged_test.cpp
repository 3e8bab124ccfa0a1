#include "install/apply_staged.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "download/difference.h"
#include "download/download_run.h"
#include "site/listed_hashes.h"
#include "support/crc_patch.h"
#include "support/memory_file_system.h"
#include "support/sha256_reference.h"

namespace {

using engine::ApplyOutcome;
using engine::FileEntry;

const std::string kFolder = "C:\\P\\";
const std::string kStaging = "C:\\P\\update\\";
const std::string kReplaced = "C:\\P\\update\\update\\replaced\\";

// Sleep moves the time on at once.
class FakeClock : public engine::Clock {
 public:
  uint32_t Now() override { return now; }
  void Sleep(uint32_t ms) override { now += ms; }
  uint32_t now = 0;
};

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
    return engine::ApplyStagedFiles(fs_, clock_, input);
  }
  std::vector<FileEntry> Difference() { return engine::FilesToDownload(server_, kFolder, fs_); }

  testing_support::MemoryFileSystem fs_;
  FakeClock clock_;
  std::vector<FileEntry> server_;
};

TEST_F(ApplyStagedTest, HeldUnchangedFileTouchesNothingButUpdaterAndNewFilesDoNot) {
  Release("Update.exe", "u2", "u1");
  Release("new.dll", "n");
  Release("same.dll", "s", "s");
  fs_.locked = {kFolder + "Update.exe", kFolder + "same.dll"};
  const engine::ApplyResult held = Apply(Difference());
  EXPECT_EQ(held.outcome, ApplyOutcome::kUnwritable);
  EXPECT_EQ(held.failedName, "same.dll");
  EXPECT_EQ(held.heldPath, kFolder + "same.dll");
  EXPECT_EQ(fs_.log, "");
  fs_.locked.erase(kFolder + "same.dll");
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(Installed("new.dll"), "n");
}

// A step that fails for good puts back what was placed before it; the main
// program was never reached.
TEST_F(ApplyStagedTest, PlaceFailureStopsBeforeMainProgramAndPutsBackTheRest) {
  Release("Main.exe", "m2", "m1");
  Release("a.dll", "a2", "a1");
  Release("b.dll", "b2", "b1");
  fs_.failFlush.insert(kStaging + "b.dll");
  const engine::ApplyResult result = Apply(Difference());
  EXPECT_EQ(result.outcome, ApplyOutcome::kPlaceFailed);
  EXPECT_EQ(result.failedName, "b.dll");
  EXPECT_EQ(result.heldPath, "");
  EXPECT_EQ(Installed("a.dll") + Installed("b.dll") + Installed("Main.exe"), "a1b1m1");
  EXPECT_EQ(fs_.files.at(kStaging + "a.dll") + fs_.files.at(kStaging + "b.dll"), "a2b2");
  EXPECT_EQ(fs_.log.find("Main.exe"), std::string::npos);
  EXPECT_EQ(clock_.now, 0u) << "a failure that is no hold is not waited for";
}

TEST_F(ApplyStagedTest, PlacesOnlyWhatThisRunVerified) {
  Release("a.dll", "a2", "a1");
  Release("stale.dll", "s1", "s1");
  fs_.Put(kStaging + "stale.dll", "s0");  // left by a run for another release
  EXPECT_EQ(Apply({server_[0]}).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(Installed("stale.dll"), "s1");
  EXPECT_EQ(fs_.log.find("stale"), std::string::npos) << fs_.log;
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
            "flush C:\\P\\update\\y.dll\n"
            "security C:\\P\\y.dll -> C:\\P\\update\\y.dll\n"
            "mkdir C:\\P\\update\\update\\\nmkdir C:\\P\\update\\update\\replaced\\\n"
            "link C:\\P\\y.dll -> C:\\P\\update\\update\\replaced\\y.dll\n"
            "replace C:\\P\\update\\y.dll -> C:\\P\\y.dll\n"
            "flush C:\\P\\update\\MAIN.exe\n"
            "security C:\\P\\MAIN.exe -> C:\\P\\update\\MAIN.exe\n"
            "link C:\\P\\MAIN.exe -> C:\\P\\update\\update\\replaced\\MAIN.exe\n"
            "replace C:\\P\\update\\MAIN.exe -> C:\\P\\MAIN.exe\n");
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
// be whole and there, the main program new only with all the rest, and the
// next run must finish the job from the staged copies alone. Only on a volume
// without hard links may a target wait aside between its two moves.
TEST_F(ApplyStagedTest, CrashAtAnyStepIsFinishedByNextRun) {
  for (const bool fat : {false, true}) {
    SCOPED_TRACE(fat ? "no hard links" : "hard links");
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
      fs_.noHardLinks = fat;
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
        // Between the two moves of one file the old copy waits aside.
        const bool asideBetweenMoves =
            fat && content.empty() && fs_.files.count(kReplaced + file.name) &&
            fs_.files.at(kReplaced + file.name) == file.oldContent && fs_.files.count(kStaging + file.name);
        EXPECT_TRUE(content == file.oldContent || content == file.newContent || asideBetweenMoves) << file.name;
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
}

// A scanner or the indexer opens a freshly written file for a moment: the
// pass waits with short pauses and goes on, whichever file it met.
TEST_F(ApplyStagedTest, HoldThatClearsAfterThreeTriesIsWaitedFor) {
  for (const std::string& held : {kFolder + "a.dll", kStaging + "a.dll", kFolder + "Main.exe", kStaging + "Main.exe"}) {
    SCOPED_TRACE(held);
    fs_ = testing_support::MemoryFileSystem();
    clock_.now = 0;
    server_.clear();
    Release("a.dll", "a2", "a1");
    Release("Main.exe", "m2", "m1");
    fs_.heldTries[held] = 3;
    EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
    EXPECT_EQ(fs_.heldTries[held], 0);
    EXPECT_EQ(Installed("a.dll") + Installed("Main.exe"), "a2m2");
    EXPECT_GT(clock_.now, 0u);
    EXPECT_LT(clock_.now, 1000u) << "three short pauses";
  }
}

// The same hold never clears, met at each operation of the pass in turn:
// after about thirty seconds everything placed goes back, the program is the
// old release with no folder of the new one, every staged file is there for
// the next try, and that try finishes once the hold is gone.
TEST_F(ApplyStagedTest, HoldThatNeverClearsAtAnyStepLeavesTheOldRelease) {
  struct File {
    std::string name, oldContent, newContent;
  };
  const std::vector<File> files = {{"Main.exe", "main 1", "main 2"},
                                   {"a.dll", "a 1", "a 2"},
                                   {"new\\deep\\n.dll", "", "n 2"},
                                   {"sub\\b.dll", "b 1", "b 2"}};
  auto layOut = [&] {
    fs_ = testing_support::MemoryFileSystem();
    clock_.now = 0;
    server_.clear();
    for (const File& file : files) {
      Release(file.name, file.newContent, file.oldContent.empty() ? nullptr : file.oldContent.c_str());
    }
    fs_.security[kFolder + "a.dll"] = "Users: Modify";
  };
  // Each step of an undisturbed pass: a flush or a move, and the file it moves from.
  layOut();
  ASSERT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  std::vector<std::pair<long, std::string>> holds;
  long step = 0;
  for (size_t at = 0, end; (end = fs_.log.find('\n', at)) != std::string::npos; at = end + 1, ++step) {
    const std::string line = fs_.log.substr(at, end - at);
    for (const std::string kind : {"flush ", "link ", "replace "}) {
      if (line.compare(0, kind.size(), kind) == 0) {
        holds.push_back({step, line.substr(kind.size(), line.find(" -> ") - kind.size())});
      }
    }
  }
  ASSERT_EQ(holds.size(), 11u) << fs_.log;  // a flush, a link for an old file, a move

  for (const auto& [from, path] : holds) {
    SCOPED_TRACE(path + " held from step " + std::to_string(from));
    layOut();
    const std::vector<FileEntry> list = Difference();
    const auto foldersBefore = fs_.folders;
    fs_.lockedFromStep[path] = from;
    const engine::ApplyResult result = Apply(list);
    EXPECT_EQ(result.outcome, ApplyOutcome::kPlaceFailed);
    EXPECT_EQ(result.heldPath, path);
    EXPECT_NE(path.find(result.failedName), std::string::npos) << result.failedName;
    EXPECT_TRUE(result.unreturned.empty());
    EXPECT_GE(clock_.now, engine::kHoldWaitMs);
    EXPECT_LT(clock_.now, engine::kHoldWaitMs + engine::kLongestHoldPauseMs);
    for (const File& file : files) {
      EXPECT_EQ(Installed(file.name), file.oldContent) << file.name;
      EXPECT_EQ(fs_.files.at(kStaging + file.name), file.newContent) << file.name;
    }
    EXPECT_EQ(fs_.security[kFolder + "a.dll"], "Users: Modify");
    for (const std::string& folder : fs_.folders) {
      EXPECT_TRUE(foldersBefore.count(folder) || folder.compare(0, kStaging.size(), kStaging) == 0) << folder;
    }

    fs_.lockedFromStep.clear();
    EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
    for (const File& file : files) EXPECT_EQ(Installed(file.name), file.newContent) << file.name;
  }
}

// The new file takes the installed file's access rules, even when the pass
// cannot copy them for another file; the rules of a new file stay its own.
TEST_F(ApplyStagedTest, ReplacedFileKeepsItsAccessRules) {
  Release("data.dat", "d2", "d1");
  Release("plain.dll", "p2", "p1");
  Release("added.dll", "n2");
  fs_.security[kFolder + "data.dat"] = "Users: Modify";
  fs_.security[kStaging + "added.dll"] = "inherited from the folder";
  fs_.failSecurity.insert(kFolder + "plain.dll");
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(Installed("data.dat") + Installed("plain.dll") + Installed("added.dll"), "d2p2n2");
  EXPECT_EQ(fs_.security[kFolder + "data.dat"], "Users: Modify");
  EXPECT_EQ(fs_.security[kFolder + "added.dll"], "inherited from the folder");
  // The old file waits aside with its rules until the staging folder goes.
  EXPECT_EQ(fs_.files.at(kReplaced + "data.dat"), "d1");
}

// Old files moved aside by an earlier pass that finished (one a running
// program still had loaded could not be deleted at exit) go at the next pass.
TEST_F(ApplyStagedTest, BackupsOfAnEarlierPassAreRemoved) {
  Release("a.dll", "a2", "a1");
  Release("sub\\loaded.dll", "new", "new");
  fs_.Put(kReplaced + "sub\\loaded.dll", "old");
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(fs_.files.count(kReplaced + "sub\\loaded.dll"), 0u);
  EXPECT_EQ(Installed("a.dll") + Installed("sub\\loaded.dll"), "a2new");
}

// A pass cut short between moving installed files aside and placing the new
// ones (a volume without hard links), or while undoing: each name absent,
// its old copy the only one, its new copy staged. The next pass fails on a
// held file; every old file must be back in place all the same, and the pass
// after it finishes.
TEST_F(ApplyStagedTest, OldCopiesOfAnInterruptedPassReturnBeforeTheNextPass) {
  Release("Main.exe", "m2", "m1");
  Release("a.dll", "a2", "a1");
  Release("sub\\deep\\b.dll", "b2", "b1");
  for (const std::string name : {"a.dll", "sub\\deep\\b.dll"}) {
    fs_.Put(kReplaced + name, fs_.files.at(kFolder + name));
    fs_.files.erase(kFolder + name);
  }
  fs_.locked.insert(kStaging + "Main.exe");
  const engine::ApplyResult held = Apply(Difference());
  EXPECT_EQ(held.outcome, ApplyOutcome::kPlaceFailed);
  EXPECT_EQ(held.failedName, "Main.exe");
  EXPECT_TRUE(held.unreturned.empty());
  EXPECT_EQ(Installed("a.dll") + Installed("sub\\deep\\b.dll") + Installed("Main.exe"), "a1b1m1");

  fs_.locked.clear();
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(Installed("a.dll") + Installed("sub\\deep\\b.dll") + Installed("Main.exe"), "a2b2m2");
}

// The undo of a failed pass cannot return an old file (held through the
// whole wait): the file is reported with where its old copy is kept, and the
// copy stays there. A later pass returns it first, and if that one cannot,
// nothing else moves and the copy is still kept.
TEST_F(ApplyStagedTest, OldFileTheUndoCannotReturnIsKeptAndReported) {
  Release("Main.exe", "m2", "m1");
  Release("sub\\a.dll", "a2", "a1");
  const std::string backup = kReplaced + "sub\\a.dll";
  fs_.locked = {kStaging + "Main.exe", backup};
  const engine::ApplyResult result = Apply(Difference());
  EXPECT_EQ(result.outcome, ApplyOutcome::kPlaceFailed);
  ASSERT_EQ(result.unreturned.size(), 1u);
  EXPECT_EQ(result.unreturned[0].name, "sub\\a.dll");
  EXPECT_EQ(result.unreturned[0].keptAt, backup);
  EXPECT_EQ(fs_.files.at(backup), "a1");
  EXPECT_EQ(fs_.files.at(kStaging + "sub\\a.dll"), "a2");

  fs_.log.clear();
  const engine::ApplyResult still = Apply(Difference());
  EXPECT_EQ(still.outcome, ApplyOutcome::kPlaceFailed);
  ASSERT_EQ(still.unreturned.size(), 1u);
  EXPECT_EQ(still.unreturned[0].keptAt, backup);
  EXPECT_EQ(fs_.files.at(backup), "a1");
  EXPECT_EQ(fs_.log, "");

  fs_.locked.erase(backup);
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kPlaceFailed);
  EXPECT_EQ(Installed("sub\\a.dll") + Installed("Main.exe"), "a1m1");
}

// A junction or link that a user of the program folder put in place of the
// backup folder, or of the folder above it, would have the pass delete, and
// take backups from, wherever it points: it is removed as a link, what it
// points to is left as it was, and the backups go into a real folder.
class BackupLinkTest : public ApplyStagedTest, public testing::WithParamInterface<const char*> {};

TEST_P(BackupLinkTest, IsRemovedAndNeverFollowed) {
  const std::string link = kStaging + GetParam();
  // b.dll is not installed: a kept old file to return, were the link followed.
  const std::map<std::string, std::string> elsewhere = {{"D:\\Other\\keep.dll", "k"},
                                                        {"D:\\Other\\replaced\\a.dll", "theirs"},
                                                        {"D:\\Other\\replaced\\b.dll", "theirs"}};
  for (const auto& [path, content] : elsewhere) fs_.Put(path, content);
  fs_.links[link] = "D:\\Other\\";
  Release("a.dll", "a2", "a1");
  EXPECT_EQ(Apply(Difference()).outcome, ApplyOutcome::kApplied);
  EXPECT_EQ(Installed("a.dll"), "a2");
  EXPECT_FALSE(fs_.Exists(kFolder + "b.dll"));
  EXPECT_FALSE(fs_.IsLink(link));
  EXPECT_EQ(fs_.files.at(kReplaced + "a.dll"), "a1");
  std::map<std::string, std::string> there;
  for (const auto& [path, content] : fs_.files)
    if (path.compare(0, 3, "D:\\") == 0) there[path] = content;
  EXPECT_EQ(there, elsewhere);
  EXPECT_EQ(fs_.log.find("D:\\"), std::string::npos) << fs_.log;
}

INSTANTIATE_TEST_SUITE_P(Folders, BackupLinkTest, testing::Values("update\\", "update\\replaced\\"));

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
  EXPECT_EQ(engine::ApplyStagedFiles(unsigned_fs, clock_, {kFolder, "Update.exe", "Main.exe", &server_, &list})
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
