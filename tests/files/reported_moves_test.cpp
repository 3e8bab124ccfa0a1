#include "files/reported_moves.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/apply_staged.h"
#include "engine/difference.h"
#include "support/memory_file_system.h"

namespace {

const std::string kFolder = "C:\\P\\";
const std::string kStaging = "C:\\P\\update\\";

// Placing a release through the wrapper: every move is reported with its
// target while the target still holds the old content, in the order the
// moves are made, and the result is the same as without the wrapper.
TEST(ReportedMovesTest, ReportsEachPlacingStepBeforeItIsMade) {
  testing_support::MemoryFileSystem system;
  std::vector<engine::FileEntry> server;
  for (const std::string name : {"Main.exe", "a.dll", "sub\\b.dll"}) {
    testing_support::MemoryFileSystem scratch;
    scratch.files[name] = name + " 2";
    server.push_back({name, scratch.Signature(name), ""});
    system.Put(kFolder + name, name + " 1");
    system.Put(kStaging + name, name + " 2");
  }
  std::vector<std::string> reported;
  std::vector<std::string> contentAtReport;
  files::ReportedMoves fs(system, [&](const std::string& target) {
    reported.push_back(target);
    contentAtReport.push_back(system.files[target]);
  });
  const std::vector<engine::FileEntry> download = engine::FilesToDownload(server, kFolder, fs);
  ASSERT_EQ(download.size(), 3u);
  const engine::ApplyInput input{kFolder, "Update.exe", "Main.exe", &server, &download, false};
  EXPECT_EQ(engine::ApplyStagedFiles(fs, input).outcome, engine::ApplyOutcome::kApplied);

  ASSERT_EQ(reported.size(), 3u);
  EXPECT_EQ(reported.back(), kFolder + "Main.exe");  // the main program last
  for (size_t i = 0; i < reported.size(); ++i) {
    const std::string name = reported[i].substr(kFolder.size());
    EXPECT_EQ(contentAtReport[i], name + " 1") << name;
    EXPECT_EQ(system.files[reported[i]], name + " 2") << name;
  }
  EXPECT_FALSE(system.Exists(kStaging + "a.dll"));
}

}  // namespace
