// The executable as a user runs it: documented exit codes, help, and errors
// on stderr.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "tool_support.h"

namespace {

using namespace tool_testing;

struct Ran {
  int code = -1;
  std::string out;
};

// Runs updpub with a shell command line; stderr is merged when asked.
Ran RunUpdpub(const std::string& arguments, bool withStderr = false) {
  Ran ran;
  const std::string command = std::string(UPDPUB_EXE) + " " + arguments + (withStderr ? " 2>&1" : " 2>/dev/null");
  std::FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return ran;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) ran.out.append(buffer, got);
  const int status = pclose(pipe);
  ran.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return ran;
}

TEST(CommandLine, HelpDocumentsTheExitCodes) {
  const Ran publish = RunUpdpub("publish --help");
  EXPECT_EQ(publish.code, 0);
  EXPECT_NE(publish.out.find("3  writing failed"), std::string::npos);
  const Ran check = RunUpdpub("check -h");
  EXPECT_EQ(check.code, 0);
  EXPECT_NE(check.out.find("1  at least one error"), std::string::npos);
}

TEST(CommandLine, UsageErrorsGoToStderrWithCodeTwo) {
  EXPECT_EQ(RunUpdpub("").code, 2);
  EXPECT_EQ(RunUpdpub("frobnicate").code, 2);
  EXPECT_EQ(RunUpdpub("publish --from x --site y").code, 2);
  EXPECT_EQ(RunUpdpub("publish --from x --version 1 --site y --colour red").code, 2);
  EXPECT_EQ(RunUpdpub("publish --from x --version 1 --site y --no-pack --no-code-deltas").code, 2);
  EXPECT_EQ(RunUpdpub("check").code, 2);
  const Ran quiet = RunUpdpub("publish --from x --site y");
  EXPECT_EQ(quiet.out, "");  // nothing on stdout
}

TEST(CommandLine, PublishThenCheckThenRefuse) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "rel", SmallRelease());
  const std::string site = (scratch.path() / "site").string();
  const std::string publish = "publish --from '" + (scratch.path() / "rel").string() + "' --site '" + site +
                              "' --version 2.0 --soft-name 'Demo' --server 'A=http://a.example.com/up/' --utf8-urls";
  const Ran published = RunUpdpub(publish);
  EXPECT_EQ(published.code, 0);
  EXPECT_NE(published.out.find("published version 2.0: 4 files"), std::string::npos) << published.out;

  const Ran clean = RunUpdpub("check '" + site + "'");
  EXPECT_EQ(clean.code, 0) << clean.out;
  EXPECT_NE(clean.out.find("0 errors, 0 warnings"), std::string::npos);

  WriteBytes(scratch.path() / "site" / "2.0" / "a.txt", "tampered");
  const Ran failed = RunUpdpub("check '" + site + "'");
  EXPECT_EQ(failed.code, 1);
  EXPECT_NE(failed.out.find("filelist.xml:3: error: \"a.txt\" in the site folder has CRC"), std::string::npos)
      << failed.out;

  WriteBytes(scratch.path() / "rel" / "update" / "x.dll", "x");
  const Ran refused = RunUpdpub(publish, true);
  EXPECT_EQ(refused.code, 1);
  EXPECT_NE(refused.out.find("refused; nothing was written"), std::string::npos) << refused.out;
}

// An updater built with the old and the new key accepts either signature;
// so does a check given both keys, and only then.
TEST(CommandLine, CheckAcceptsASignatureByAnyOfTheKeysGiven) {
  ScratchFolder scratch;
  WriteRelease(scratch.path() / "rel", SmallRelease());
  const std::string site = (scratch.path() / "site").string();
  const std::string keys = std::string(UPDPUB_TEST_KEYS) + "/";
  ASSERT_EQ(RunUpdpub("publish --from '" + (scratch.path() / "rel").string() + "' --site '" + site +
                      "' --version 2.0 --soft-name Demo --server 'A=http://a.example.com/up/' --sign '" + keys +
                      "other.key'")
                .code,
            0);
  const Ran oldKeyOnly = RunUpdpub("check '" + site + "' --key '" + keys + "test.pub'");
  EXPECT_EQ(oldKeyOnly.code, 1) << oldKeyOnly.out;
  EXPECT_NE(oldKeyOnly.out.find("update.xml.sig: error: the signature does not match"), std::string::npos)
      << oldKeyOnly.out;
  const Ran both = RunUpdpub("check '" + site + "' --key '" + keys + "test.pub' --key='" + keys + "other.pub'");
  EXPECT_EQ(both.code, 0) << both.out;
  EXPECT_NE(both.out.find("read " + site + "/2.0/filelist.xml.sig"), std::string::npos) << both.out;
  const Ran oneUnreadable = RunUpdpub("check '" + site + "' --key '" + keys + "other.pub' --key '" + keys + "none.pub'");
  EXPECT_EQ(oneUnreadable.code, 1) << oneUnreadable.out;
}

}  // namespace
