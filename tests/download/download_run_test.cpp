#include "download/download_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <ostream>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <zstd.h>

#include "codecs/code_delta.h"
#include "codecs/segmented_delta.h"
#include "digests/crc32.h"
#include "download/partial_download.h"
#include "install/apply_staged.h"
#include "support/crc_patch.h"
#include "support/memory_file_system.h"
#include "support/sha256_reference.h"

namespace {

using engine::DownloadControl;
using engine::DownloadJob;
using engine::FileEntry;
using engine::TransferProgress;

// 1 s before the 32-bit tick wraps, so every elapsed time crosses the wrap.
constexpr uint32_t kStartTick = 0xFFFFFFFFu - 999;
const std::string kStaging = "C:\\Tool\\update\\";

std::string Crc(const std::string& bytes) {
  char text[9];
  std::snprintf(text, sizeof(text), "%X",
                static_cast<unsigned>(files::Crc32Update(0, bytes.data(), bytes.size())));
  return text;
}

// What the fake server answers to one Open: the announced length and the
// pieces later reads hand out; an empty piece is one read that brings nothing.
struct Response {
  int32_t length = -1;
  std::deque<std::string> pieces;
  int status = engine::kStatusOk;
  // Once the pieces run out, a read blocks as a stalled connection's does
  // and returns nothing only when the watchdog stops the worker.
  bool blocksWhenDry = false;
  // ... or, on a worker thread of its own, not even then: until the test
  // lets it go, as Wine's reads go on after their handle is closed.
  bool hangsWhenDry = false;
};
Response Body(const std::string& body) { return {static_cast<int32_t>(body.size()), {body}}; }
Response FailOpen() { return {}; }

// Every port of one run faked together, so that one log holds every call and
// every notification in order, each with the fake time since the start.
// Sleep advances the time at once; nothing waits.
class FakeWorld : public engine::HttpSource,
                  public engine::Clock,
                  public engine::DownloadNotifier,
                  public testing_support::MemoryFileSystem {
 public:
  struct Event {
    uint32_t at;
    bool notification;
    std::string text;
  };
  DownloadControl control;
  // Objects served the way a static file server does: Range honoured when
  // If-Range names the current validator. An answer's body stalls (later
  // reads bring nothing) at the first of `stallAt`, offsets into the file,
  // beyond where it starts.
  struct Hosted {
    std::string content;
    std::string validator = "\"v1\"";
    std::vector<size_t> stallAt = {};
    bool refusesRanges = false;  // 416 to every range
    bool stallBlocks = false;    // a read at the stall blocks until the stop
    bool stallHangs = false;     // ... until ReleaseHungReads
  };
  std::map<std::string, Hosted> hosted;  // by encoded URL
  size_t served = 0;                     // body bytes handed out by reads
  std::vector<Event> events;
  size_t stopAtEvent = SIZE_MAX;                       // the flag is set while this event happens
  size_t timeOutAtEvent = SIZE_MAX;                    // the watchdog claims the end during this event
  uint32_t stopAtMs = UINT32_MAX;                      // ... or while a pause reaches this time
  std::map<std::string, std::deque<Response>> server;  // by encoded URL; the last one repeats
  std::vector<size_t> writes;
  size_t failWrite = SIZE_MAX;  // the write with this index fails
  bool diskFull = false;        // every write fails
  uint32_t now = kStartTick;
  // A slow disk: every read of a file, and every piece hashed, takes this
  // long; longestQuiet is the most time seen without activity at one.
  uint32_t slowDiskMs = 0;
  uint32_t longestQuiet = 0;
  size_t failReadBackAfter = SIZE_MAX;  // a partial file read back fails after this many bytes, once
  std::function<void()> readBackThrows;  // called, and dropped, at the next read of a received object
  size_t shortWrite = SIZE_MAX;         // the write with this index lands only its first half
  int reads = 0;
  int closes = 0;
  std::vector<int> closesAtSleep;  // requests closed when each pause began
  int openDuringReads = 0;  // most staging files open at once while a read ran
  static constexpr int kReadLimit = 100000;

  void WaitUntilHung() {
    std::unique_lock<std::mutex> lock(hangMutex_);
    hangChanged_.wait(lock, [this] { return hung_; });
  }
  void ReleaseHungReads() {
    std::lock_guard<std::mutex> lock(hangMutex_);
    released_ = true;
    hangChanged_.notify_all();
  }

  std::vector<std::string> Notifications() const {
    std::vector<std::string> out;
    for (const Event& e : events)
      if (e.notification) out.push_back(e.text);
    return out;
  }
  std::vector<uint32_t> TimesOf(const std::string& prefix) const {
    std::vector<uint32_t> out;
    for (const Event& e : events)
      if (e.text.compare(0, prefix.size(), prefix) == 0) out.push_back(e.at);
    return out;
  }

  // Ports. A call during which the stop is requested is broken the way the
  // real ones are: Open fails, Read brings nothing, Sleep returns early.
  engine::HttpAnswer Open(const std::string& url, const engine::RangeRequest& range) override {
    engine::HttpAnswer answer;
    if (Log("open " + url + (range.from > 0 ? " from " + std::to_string(range.from) : ""))) return answer;
    offset_ = 0;
    if (const auto hostedIt = hosted.find(url); hostedIt != hosted.end()) return Serve(hostedIt->second, range);
    auto it = server.find(url);
    if (it == server.end() || it->second.empty()) return answer;
    current_ = it->second.front();
    if (it->second.size() > 1) it->second.pop_front();
    answer.length = current_.length;
    answer.status = current_.status;
    return answer;
  }
  size_t Read(void* buffer, size_t size) override {
    // A worker that spins on empty reads would never let the fake time move;
    // stopping it makes that a failure instead of a hang.
    if (++reads > kReadLimit) control.stopRequested = true;
    openDuringReads = std::max(openDuringReads, openFiles);
    if (Log("read")) return 0;
    if (current_.pieces.empty()) {
      if (current_.hangsWhenDry) {
        Hang();
        return 0;
      }
      if (current_.blocksWhenDry && stopAtMs != UINT32_MAX) {
        now = kStartTick + stopAtMs;
        control.stopRequested = true;
      }
      return 0;
    }
    const std::string& piece = current_.pieces.front();
    const size_t n = std::min(size, piece.size() - offset_);
    piece.copy(static_cast<char*>(buffer), n, offset_);
    offset_ += n;
    served += n;
    if (offset_ == piece.size()) {
      current_.pieces.pop_front();
      offset_ = 0;
    }
    return n;
  }
  // Not logged: closing is no request, and the watchdog's stop closes too.
  void Close() override {
    current_ = {};
    ++closes;
  }
  uint32_t Now() override { return now; }
  void Sleep(uint32_t ms) override {
    closesAtSleep.push_back(closes);
    if (Log("sleep " + std::to_string(ms))) return;
    now += ms;
    if (now - kStartTick >= stopAtMs) control.stopRequested = true;
  }
  std::string Signature(const std::string& path, const files::ReadActivity& onRead = {}) override {
    Log("signature " + path);
    return MemoryFileSystem::Signature(path, [&] { SlowPiece(onRead); });
  }
  bool ReadWhole(const std::string& path, uint64_t maxBytes, std::string& bytes) override {
    if (files.count(path) && slowDiskMs > 0)
      for (size_t at = 0; at < files.at(path).size(); at += kSlowPiece) SlowPiece({});
    return MemoryFileSystem::ReadWhole(path, maxBytes, bytes);
  }
  std::unique_ptr<files::ReadableFile> OpenForReading(const std::string& path) override {
    auto file = MemoryFileSystem::OpenForReading(path);
    return file ? std::make_unique<WorldReader>(*this, std::move(file), path) : nullptr;
  }
  bool CreateFolder(const std::string& path) override {
    Log("mkdir " + path);
    return MemoryFileSystem::CreateFolder(path);
  }
  bool IsLink(const std::string& path) override {
    Log("link? " + path);
    return MemoryFileSystem::IsLink(path);
  }
  // A file open for writing is held as the system's sharing holds it: it
  // cannot be flushed, tested or replaced by anyone else, and a move of the
  // file itself takes the handle along to its new name.
  files::FileOutcome TestWritable(const std::string& path) override {
    return Writing(path) ? files::FileOutcome::kHeld : MemoryFileSystem::TestWritable(path);
  }
  files::FileOutcome Flush(const std::string& path) override {
    return Writing(path) ? files::FileOutcome::kHeld : MemoryFileSystem::Flush(path);
  }
  files::FileOutcome Replace(const std::string& from, const std::string& to) override {
    if (Writing(to)) return files::FileOutcome::kHeld;
    const files::FileOutcome outcome = MemoryFileSystem::Replace(from, to);
    if (outcome == files::FileOutcome::kDone)
      for (LoggedFile* writer : writers_)
        if (writer->path == from) writer->path = to;
    return outcome;
  }
  std::unique_ptr<files::WritableFile> CreateForWriting(const std::string& path) override {
    Log("create " + path);
    auto file = MemoryFileSystem::CreateForWriting(path);
    return file ? std::make_unique<LoggedFile>(*this, std::move(file), path) : nullptr;
  }
  std::unique_ptr<files::WritableFile> OpenForAppend(const std::string& path, bool empty) override {
    if (empty) Log("create " + path);
    auto file = MemoryFileSystem::OpenForAppend(path, empty);
    return file ? std::make_unique<LoggedFile>(*this, std::move(file), path) : nullptr;
  }

  // Notifications.
  void FileStart(int index) override { Note("FileStart " + std::to_string(index)); }
  void Progress(int index, const TransferProgress& p) override {
    EXPECT_EQ(p.StartTick + static_cast<uint32_t>(p.ElapsedMs), now);
    Note("Progress " + std::to_string(index) + " " + std::to_string(p.Received) + "/" +
         std::to_string(p.Total) + " +" + std::to_string(p.ElapsedMs));
  }
  void FileEnd(int index, bool success) override {
    Note("FileEnd " + std::to_string(index) + (success ? " ok" : " failed"));
  }
  void Resumed(int index, const TransferProgress& p) override {
    Note("Resumed " + std::to_string(index) + " " + std::to_string(p.Received) + "/" + std::to_string(p.Total));
  }
  void TryAgain(int attempt) override { Note("TryAgain " + std::to_string(attempt)); }
  void Complete(bool success) override { Note(success ? "Complete ok" : "Complete failed"); }
  void Trace(std::string_view text) override { Note("Trace " + std::string(text)); }

 private:
  class LoggedFile : public files::WritableFile {
   public:
    LoggedFile(FakeWorld& world, std::unique_ptr<files::WritableFile> file, std::string at)
        : path(std::move(at)), world_(world), file_(std::move(file)) {
      world_.writers_.insert(this);
    }
    ~LoggedFile() override { Close(); }
    bool Write(const void* data, size_t size) override {
      const bool fail = world_.writes.size() == world_.failWrite || world_.diskFull;
      const bool half = world_.writes.size() == world_.shortWrite;
      world_.writes.push_back(size);
      if (world_.Log("write")) return false;
      if (half) return file_->Write(data, size / 2) && false;
      return !fail && file_->Write(data, size);
    }
    void Close() override {
      file_->Close();
      world_.writers_.erase(this);
    }
    std::string path;  // where the file is now

   private:
    FakeWorld& world_;
    std::unique_ptr<files::WritableFile> file_;
  };
  std::set<LoggedFile*> writers_;  // open for writing
  bool Writing(const std::string& path) const {
    return std::any_of(writers_.begin(), writers_.end(), [&](const LoggedFile* w) { return w->path == path; });
  }

  // A hung read, on the worker's thread, until the test lets it go.
  std::mutex hangMutex_;
  std::condition_variable hangChanged_;
  bool hung_ = false;
  bool released_ = false;
  void Hang() {
    std::unique_lock<std::mutex> lock(hangMutex_);
    hung_ = true;
    hangChanged_.notify_all();
    hangChanged_.wait(lock, [this] { return released_; });
  }

  static constexpr size_t kSlowPiece = 64 << 10;
  void SlowPiece(const files::ReadActivity& onRead) {
    now += slowDiskMs;
    longestQuiet = std::max(longestQuiet, now - control.lastActivityTick.load());
    if (onRead) onRead();
  }

  class WorldReader : public files::ReadableFile {
   public:
    WorldReader(FakeWorld& world, std::unique_ptr<files::ReadableFile> file, std::string path)
        : world_(world), file_(std::move(file)), path_(std::move(path)) {}
    bool Read(void* buffer, size_t capacity, size_t& count) override {
      world_.SlowPiece({});
      const bool partial = path_.rfind(kStaging + "update\\p\\", 0) == 0;
      if (partial && world_.readBackThrows) std::exchange(world_.readBackThrows, nullptr)();
      if (partial && world_.failReadBackAfter != SIZE_MAX) {
        // Small pieces, so that decoded bytes wait in the buffer when it fails.
        if (read_ >= world_.failReadBackAfter) {
          world_.failReadBackAfter = SIZE_MAX;
          return false;
        }
        capacity = std::min({capacity, size_t{5000}, world_.failReadBackAfter - read_});
      }
      const bool done = file_->Read(buffer, capacity, count);
      read_ += count;
      return done;
    }
    bool Size(uint64_t& size) override { return file_->Size(size); }

   private:
    FakeWorld& world_;
    std::unique_ptr<files::ReadableFile> file_;
    const std::string path_;
    size_t read_ = 0;
  };

  engine::HttpAnswer Serve(const Hosted& file, const engine::RangeRequest& range) {
    const auto size = static_cast<int32_t>(file.content.size());
    engine::HttpAnswer answer;
    answer.validator = file.validator;
    int32_t from = 0;
    if (range.from > 0 && range.validator == file.validator) {
      if (range.from >= size || file.refusesRanges) {
        answer.status = engine::kStatusRangeNotSatisfiable;
        answer.length = 0;
        current_ = {0, {}};
        return answer;
      }
      from = range.from;
      answer.status = engine::kStatusPartialContent;
      answer.contentRange = "bytes " + std::to_string(from) + "-" + std::to_string(size - 1) + "/" +
                            std::to_string(size);
    } else {
      answer.status = engine::kStatusOk;
    }
    answer.length = size - from;
    const std::string body = file.content.substr(from);
    size_t end = body.size();
    for (const size_t at : file.stallAt)
      if (at > static_cast<size_t>(from)) end = std::min(end, at - from);
    current_ = {answer.length, {body.substr(0, end)}, engine::kStatusOk, file.stallBlocks, file.stallHangs};
    return answer;
  }

  // Logs one event; true when the stop is requested during it.
  bool Log(std::string text, bool notification = false) {
    events.push_back({now - kStartTick, notification, std::move(text)});
    if (events.size() - 1 == stopAtEvent) control.stopRequested = true;
    if (events.size() - 1 == timeOutAtEvent) control.ClaimEnd(engine::RunEnd::kTimedOut);
    return control.stopRequested;
  }
  void Note(std::string text) { Log(std::move(text), true); }

  Response current_;
  size_t offset_ = 0;  // into the first piece of current_
};

class DownloadRunTest : public testing::Test {
 protected:
  // A listed file whose Hash is that of wanted, and what the server answers
  // to its successive requests.
  void Add(const std::string& name, const std::string& wanted, std::vector<Response> responses) {
    job_.files.push_back({name, Crc(wanted)});
    std::string url;
    for (const char c : "http://host/app/2.0/" + name)
      url += c == '\\' ? "/" : c == ' ' ? "%20" : std::string(1, c);
    world_->server[url].assign(responses.begin(), responses.end());
  }
  void Run() {
    FakeWorld& w = *world_;
    engine::RunDownload(job_, w, w, w, w, w.control);
    EXPECT_EQ(w.openFiles, 0);
  }
  void Reset() {
    world_ = std::make_unique<FakeWorld>();
    job_.files.clear();
  }

  std::unique_ptr<FakeWorld> world_ = std::make_unique<FakeWorld>();
  DownloadJob job_{{}, "http://host/app/", "2.0", false, "C:\\Tool\\"};
};

TEST_F(DownloadRunTest, FetchesEveryFileInOrderAndSkipsOneAlreadyStaged) {
  const std::string big(5000, 'x');
  Add("a.txt", big, {Body(big)});
  Add("staged.txt", "staged", {Body("other")});
  world_->Put(kStaging + "staged.txt", "staged");
  Add("sub\\b c.dat", "0123456789", {Body("0123456789")});
  Run();
  // A read the system cannot break must not keep a staging file open.
  EXPECT_EQ(world_->openDuringReads, 0);
  // clang-format off
  EXPECT_EQ(world_->Notifications(),
            (std::vector<std::string>{
                "FileStart 1", "Trace 下载文件:http://host/app/2.0/a.txt",
                "Progress 1 2048/5000 +0", "Progress 1 4096/5000 +0", "Progress 1 5000/5000 +0",
                "FileEnd 1 ok",
                "FileStart 2", "Trace 下载文件:http://host/app/2.0/staged.txt", "FileEnd 2 ok",
                "FileStart 3", "Trace 下载文件:http://host/app/2.0/sub/b c.dat",
                "Progress 3 10/10 +0", "FileEnd 3 ok",
                "Complete ok"}));
  // clang-format on
  EXPECT_EQ(world_->TimesOf("open").size(), 2u);
  EXPECT_EQ(world_->TimesOf("create").size(), 2u);
  EXPECT_EQ(world_->files[kStaging + "a.txt"], big);
  EXPECT_EQ(world_->files[kStaging + "sub\\b c.dat"], "0123456789");
}

// Each way an attempt can fail, five times over: the retry timing, then the
// end of the run with later files untouched.
struct FailureCase {
  const char* name;
  Response response;
  bool cannotCreate;
};
void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class AttemptFailureTest : public DownloadRunTest,
                           public testing::WithParamInterface<FailureCase> {};

TEST_P(AttemptFailureTest, FiveAttemptsThenTheRunEnds) {
  Add("a.txt", "wanted", {GetParam().response});
  Add("b.txt", "next", {Body("next")});
  if (GetParam().cannotCreate)
    world_->failCreate.insert(engine::PartialPathsOf(kStaging, "http://host/app/2.0/a.txt").data);
  Run();
  const std::vector<std::string> n = world_->Notifications();
  EXPECT_EQ(std::count(n.begin(), n.end(), "FileEnd 1 failed"), 5);
  EXPECT_EQ(n.back(), "Complete failed");
  EXPECT_EQ(world_->TimesOf("TryAgain"), (std::vector<uint32_t>{2000, 7000, 12000, 17000}));
  EXPECT_EQ(world_->TimesOf("create"), (std::vector<uint32_t>{0, 5000, 10000, 15000, 20000}));
  EXPECT_TRUE(world_->TimesOf("FileStart 2").empty());
  EXPECT_EQ(world_->TimesOf("open").size(), GetParam().cannotCreate ? 0u : 5u);
}

INSTANTIATE_TEST_SUITE_P(Ways, AttemptFailureTest,
                         testing::Values(FailureCase{"OpenFails", FailOpen(), false},
                                         FailureCase{"ErrorPage", Body("<html>404</html>"), false},
                                         FailureCase{"EmptyBodyForNonEmptyFile", Body(""), false},
                                         FailureCase{"StagingFileCannotBeCreated", Body("wanted"),
                                                     true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownloadRunTest, RetryAfterFailureSucceedsAndCountsThePausesInItsElapsedTime) {
  Add("a.txt", "body", {FailOpen(), Body("body")});
  Run();
  EXPECT_EQ(world_->Notifications(),
            (std::vector<std::string>{"FileStart 1", "Trace 下载文件:http://host/app/2.0/a.txt",
                                      "FileEnd 1 failed", "TryAgain 2", "Progress 1 4/4 +5000",
                                      "FileEnd 1 ok", "Complete ok"}));
  EXPECT_EQ(world_->files[kStaging + "a.txt"], "body");
}

TEST_F(DownloadRunTest, EmptyBodySucceedsOnlyForTheEmptyFilesHash) {
  Add("empty.txt", "", {Body("")});
  Run();
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_EQ(world_->files.at(kStaging + "empty.txt"), "");
  EXPECT_TRUE(world_->TimesOf("read").empty());
}

TEST_F(DownloadRunTest, ShortBodyWaitsWithoutSpinningUntilStopped) {
  Add("a.txt", std::string(5000, 'x'),
      {{5000, {std::string(2048, 'x'), "", std::string(952, 'x')}}});
  world_->stopAtMs = 60000;  // the watchdog, long after the last byte
  Run();
  // One empty read per pause, twenty pauses a fake second.
  EXPECT_LE(world_->reads, 3 + 60 * 20 + 1);
  // The last read that brought bytes, not the empty ones after it.
  EXPECT_EQ(world_->control.lastActivityTick.load(), kStartTick + 50);
  EXPECT_EQ(world_->Notifications().back(), "Progress 1 3000/5000 +50");
  EXPECT_EQ(world_->events.back().text, "sleep 50");  // the one during which the stop came
  EXPECT_EQ(world_->now - kStartTick, 60000u);
}

TEST_F(DownloadRunTest, BodyOverTheWriteThresholdIsWrittenInLargePiecesByteExact) {
  for (const bool firstWriteFails : {false, true}) {
    SCOPED_TRACE(firstWriteFails);
    Reset();
    std::string body(engine::kWriteThreshold + 5000, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 31 % 251);
    Add("big.bin", body, {Body(body)});
    if (firstWriteFails) world_->failWrite = 0;
    Run();
    EXPECT_EQ(world_->Notifications().back(), "Complete ok");
    EXPECT_TRUE(world_->files[kStaging + "big.bin"] == body);
    // A failed write keeps its bytes for the next one.
    const std::vector<size_t> expected =
        firstWriteFails
            ? std::vector<size_t>{engine::kWriteThreshold, engine::kWriteThreshold + 2048, 2952}
            : std::vector<size_t>{engine::kWriteThreshold, 5000};
    EXPECT_EQ(world_->writes, expected);
  }
}

// A disk that refuses every write must not make the buffer grow with the file
// (a 32-bit process would run out of memory): the attempt ends and fails.
TEST_F(DownloadRunTest, DiskThatRefusesEveryWriteFailsTheAttemptWithABoundedBuffer) {
  std::string body(3 * engine::kWriteThreshold, 'x');
  Add("big.bin", body, {Body(body)});
  world_->diskFull = true;
  Run();
  EXPECT_EQ(world_->Notifications().back(), "Complete failed");
  ASSERT_FALSE(world_->writes.empty());
  EXPECT_LE(*std::max_element(world_->writes.begin(), world_->writes.end()),
            2 * engine::kWriteThreshold + engine::kReadSize);
}

// A stop requested at any moment of a run that goes through every state:
// nothing is asked of any port and nothing is notified after it, and no
// staging file stays open.
TEST_F(DownloadRunTest, StopAtAnyMomentEndsTheRunAtOnce) {
  const auto setUp = [this] {
    Reset();
    // A failed open, an error page, then a body with one empty read in it.
    const std::string part(2048, 'a'), rest(952, 'b');
    Add("a.txt", part + rest, {FailOpen(), Body("wrong"), {3000, {part, "", rest}}});
    Add("b\\c.txt", "staged", {});
    world_->Put(kStaging + "b\\c.txt", "staged");
  };
  setUp();
  Run();
  const size_t total = world_->events.size();
  ASSERT_EQ(world_->Notifications().back(), "Complete ok");
  ASSERT_EQ(world_->TimesOf("sleep 50").size(), 1u);

  setUp();
  world_->control.stopRequested = true;
  Run();
  EXPECT_TRUE(world_->events.empty());
  for (size_t stopAt = 0; stopAt < total; ++stopAt) {
    setUp();
    world_->stopAtEvent = stopAt;
    Run();
    ASSERT_EQ(world_->events.size(), stopAt + 1)
        << "stopped at " << world_->events[stopAt].text << ", then " << world_->events.back().text;
  }
}

// The watchdog claims the time-out while the worker finishes its last file
// and before it sets the stop: the worker must not report an end of its own.
TEST_F(DownloadRunTest, EndClaimedByTheWatchdogIsNotReportedAgain) {
  for (const bool lastAttemptFails : {false, true}) {
    SCOPED_TRACE(lastAttemptFails);
    Reset();
    Add("a.txt", "body", {lastAttemptFails ? FailOpen() : Body("body")});
    Run();
    ASSERT_EQ(world_->events.back().text, lastAttemptFails ? "Complete failed" : "Complete ok");
    const size_t lastFileEnd = world_->events.size() - 2;

    Reset();
    Add("a.txt", "body", {lastAttemptFails ? FailOpen() : Body("body")});
    world_->timeOutAtEvent = lastFileEnd;
    Run();
    EXPECT_EQ(world_->events.size(), lastFileEnd + 1) << world_->events.back().text;
    EXPECT_EQ(world_->control.end.load(), engine::RunEnd::kTimedOut);
  }
}

// A junction or link in place of the staging folder would have every file
// written, and at exit deleted, wherever it points.
TEST_F(DownloadRunTest, StagingFolderThatIsALinkIsRefusedBeforeAnythingIsFetched) {
  Add("a.txt", "body", {Body("body")});
  world_->links[kStaging] = "D:\\elsewhere\\";
  world_->folders.insert(kStaging);
  Run();
  EXPECT_EQ(world_->Notifications(),
            (std::vector<std::string>{"Trace 更新目录是链接，已拒绝下载:" + kStaging, "Complete failed"}));
  EXPECT_TRUE(world_->TimesOf("open").empty());
  EXPECT_EQ(world_->control.end.load(), engine::RunEnd::kFailed);
}

// A junction or link a user of the program folder put below the staging
// folder, in place of a folder the updater makes there, would carry the
// partial and staged files it writes, reads back and moves wherever it
// points: it is removed as a link, and nothing goes through it.
class StagingLinkBelowTest : public DownloadRunTest, public testing::WithParamInterface<const char*> {};

TEST_P(StagingLinkBelowTest, IsRemovedAndNeverFollowed) {
  const std::string link = kStaging + GetParam();
  const std::map<std::string, std::string> elsewhere = {{"D:\\Other\\b.dat", "0123456789"},  // as if staged
                                                        {"D:\\Other\\p\\keep", "k"}};
  for (const auto& [path, content] : elsewhere) world_->Put(path, content);
  world_->links[link] = "D:\\Other\\";
  Add("sub\\b.dat", "0123456789", {Body("0123456789")});
  Run();
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_FALSE(world_->IsLink(link));
  EXPECT_EQ(world_->files[kStaging + "sub\\b.dat"], "0123456789");
  EXPECT_EQ(world_->TimesOf("open").size(), 1u);  // not taken as staged through the link
  std::map<std::string, std::string> there;
  for (const auto& [path, content] : world_->files)
    if (path.compare(0, 3, "D:\\") == 0) there[path] = content;
  EXPECT_EQ(there, elsewhere);
  EXPECT_EQ(world_->log.find("D:\\"), std::string::npos) << world_->log;
}

INSTANTIATE_TEST_SUITE_P(Folders, StagingLinkBelowTest, testing::Values("update\\", "update\\p\\", "sub\\"));

// Names the list reader leaves out are skipped by the worker too, should a
// job ever hold one: nothing is fetched into the staging folder's own
// folder, nor outside the program folder.
TEST_F(DownloadRunTest, NamesInsideTheStagingFolderOrOutsideTheProgramAreSkipped) {
  Add("Update/x/y.txt", "x", {Body("x")});
  Add("..\\evil.dll", "e", {Body("e")});
  Add("b.txt", "b", {Body("b")});
  Run();
  EXPECT_EQ(world_->Notifications(),
            (std::vector<std::string>{"Trace 文件名位于更新目录，已跳过:Update/x/y.txt",
                                      "Trace 文件名越出程序目录，已跳过:..\\evil.dll", "FileStart 3",
                                      "Trace 下载文件:http://host/app/2.0/b.txt", "Progress 3 1/1 +0",
                                      "FileEnd 3 ok", "Complete ok"}));
  EXPECT_EQ(world_->TimesOf("open").size(), 1u);
}

// --- Continuing a transfer that broke off -----------------------------------

class ResumeTest : public DownloadRunTest {
 protected:
  static constexpr char kUrl[] = "http://host/app/2.0/big.bin";
  static std::string Content(size_t size, char seed) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 131 + seed) % 251);
    return content;
  }
  void Host(const std::string& content, const std::string& wanted) {
    job_.files = {{"big.bin", Crc(wanted)}};
    world_->hosted[kUrl].content = content;
  }
  // One run that the watchdog ends 30 s after the last byte, or that ends
  // by itself; the staging folder stays for the next.
  void RunUntilStalled() {
    world_->control.stopRequested = false;
    world_->control.end = engine::RunEnd::kRunning;
    world_->events.clear();
    world_->stopAtMs = world_->now - kStartTick + 30000;
    Run();
  }
  const std::string& Staged() { return world_->files[kStaging + "big.bin"]; }
  bool PartialLeft() const {
    for (const auto& [path, content] : world_->files)
      if (path.rfind(kStaging + "update\\", 0) == 0) return true;
    return false;
  }
};

// A transfer cut at any byte, run after run, is continued where the kept
// bytes end; in all, the server sends the file once.
TEST_F(ResumeTest, TransferCutAtAnyOffsetEndsWholeWithEveryByteFetchedOnce) {
  const std::string content = Content(3 * engine::kWriteThreshold + 777, 1);
  const std::vector<size_t> cuts = {1, engine::kReadSize, engine::kWriteThreshold - 1,
                                    engine::kWriteThreshold + 3000, 3 * engine::kWriteThreshold + 776};
  for (const size_t cut : cuts) {
    SCOPED_TRACE(cut);
    Reset();
    Host(content, content);
    // Once at this offset, then at every later one.
    for (const size_t at : cuts)
      if (at >= cut) world_->hosted[kUrl].stallAt.push_back(at);
    int runs = 0;
    while (world_->Notifications().empty() || world_->Notifications().back() != "Complete ok") {
      ASSERT_LT(++runs, 40);
      RunUntilStalled();
    }
    EXPECT_TRUE(Staged() == content);
    EXPECT_EQ(world_->served, content.size());
    EXPECT_FALSE(PartialLeft());
    // The bar of a continued attempt starts where the kept bytes end.
    EXPECT_GT(runs, 1);
    EXPECT_EQ(world_->Notifications()[2].rfind("Resumed 1 ", 0), 0u) << world_->Notifications()[2];
  }
}

// The file changes on the server between two runs: its new validator makes
// the server send it whole, and a server that splices anyway is caught by
// the hash; either way nothing of the old bytes stays in the staged file.
TEST_F(ResumeTest, FileChangedOnTheServerIsNeverSplicedIntoTheOldBytes) {
  const std::string before = Content(100000, 2), after = Content(100000, 3);
  for (const bool serverIgnoresValidator : {false, true}) {
    SCOPED_TRACE(serverIgnoresValidator);
    Reset();
    Host(before, after);
    world_->hosted[kUrl].stallAt = {60000};
    RunUntilStalled();
    ASSERT_EQ(world_->files.at(engine::PartialPathsOf(kStaging, kUrl).data).size(), 60000u);

    world_->hosted[kUrl] = {after, serverIgnoresValidator ? "\"v1\"" : "\"v2\"", {}};
    RunUntilStalled();
    EXPECT_EQ(world_->Notifications().back(), "Complete ok");
    EXPECT_TRUE(Staged() == after);
    const std::vector<std::string> opens = [&] {
      std::vector<std::string> out;
      for (const auto& e : world_->events)
        if (e.text.rfind("open ", 0) == 0) out.push_back(e.text.substr(5));
      return out;
    }();
    // A splice fails its attempt and drops the kept bytes; the next starts clean.
    EXPECT_EQ(opens, serverIgnoresValidator
                         ? (std::vector<std::string>{std::string(kUrl) + " from 60000", kUrl})
                         : (std::vector<std::string>{std::string(kUrl) + " from 60000"}));
  }
}

// Kept bytes without a validator, or with a record for another file, are
// not continued; a refused range is asked again whole in the same attempt.
TEST_F(ResumeTest, KeptBytesAreContinuedOnlyWhenTheirRecordVouchesForThem) {
  const std::string content = Content(50000, 4);
  const std::string partial = engine::PartialPathsOf(kStaging, kUrl).data;
  const std::string record = engine::PartialPathsOf(kStaging, kUrl).record;
  struct Case {
    const char* what;
    std::string record;
    std::vector<std::string> opens;
  };
  const std::string url = kUrl;
  const Case cases[] = {
      {"no record", "", {url}},
      {"record of another version", "http://host/app/1.0/big.bin\n" + Crc(content) + "\n\"v1\"\n50000\n", {url}},
      {"record of another hash", url + "\n1234\n\"v1\"\n50000\n", {url}},
      {"validator the server no longer has", url + "\n" + Crc(content) + "\n\"v0\"\n50000\n", {url + " from 20000"}},
      {"range the server cannot satisfy", url + "\n" + Crc(content) + "\n\"v1\"\n50000\n", {url + " from 20000", url}},
      {"kept bytes already whole", url + "\n" + Crc(content) + "\n\"v1\"\n50000\n", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    Host(content, content);
    const bool whole = std::string(c.what) == "kept bytes already whole";
    world_->Put(partial, whole ? content : content.substr(0, 20000));
    if (!c.record.empty()) world_->Put(record, c.record);
    world_->hosted[kUrl].refusesRanges = std::string(c.what) == "range the server cannot satisfy";
    Run();
    std::vector<std::string> opens;
    for (const auto& e : world_->events)
      if (e.text.rfind("open ", 0) == 0) opens.push_back(e.text.substr(5));
    EXPECT_EQ(opens, c.opens);
    EXPECT_EQ(world_->Notifications().back(), "Complete ok");
    EXPECT_TRUE(Staged() == content);
    EXPECT_FALSE(PartialLeft());
  }
}

// --- Packed objects and deltas ------------------------------------------------

// One frame as the publisher writes it: with the content size and a checksum,
// against base when one is given.
std::string Frame(const std::string& content, const std::string& base = {}) {
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(), ZSTD_freeCCtx);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  if (!base.empty()) ZSTD_CCtx_refPrefix(context.get(), base.data(), base.size());
  std::string frame(ZSTD_compressBound(content.size()), '\0');
  const size_t size = ZSTD_compress2(context.get(), frame.data(), frame.size(), content.data(), content.size());
  EXPECT_FALSE(ZSTD_isError(size));
  frame.resize(ZSTD_isError(size) ? 0 : size);
  return frame;
}

std::string Damaged(std::string frame) {
  frame[frame.size() / 2] ^= 0x5A;
  return frame;
}

class ObjectDownloadTest : public DownloadRunTest {
 protected:
  // A release of name whose earlier version `base` is installed (under
  // baseName when given), offering a delta against it and a packed object.
  void Offer(const std::string& name, const std::string& wanted, const std::string& base,
                   const std::string& baseName, Response delta, Response packed, Response plain) {
    Add(name, wanted, {plain});
    world_->Put("C:\\Tool\\" + (baseName.empty() ? name : baseName), base);
    FileEntry& entry = job_.files.back();
    entry.Size = wanted.size();
    if (baseName.empty()) entry.LocalSignature = Crc(base);  // as the difference step found it
    entry.PackedSize = packed.length;
    entry.Deltas.push_back({Crc(base), static_cast<uint64_t>(delta.length), baseName});
    world_->server["http://host/app/2.0/update/delta/" + Crc(base) + "/" + name + ".zst"] = {delta};
    world_->server["http://host/app/2.0/update/packed/" + name + ".zst"] = {packed};
  }
  static std::string Text(char seed, size_t size) {
    std::string text(size, ' ');
    for (size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + (i * 7 + seed + i / 97) % 26);
    return text;
  }
  std::vector<std::string> Opens() const {
    std::vector<std::string> opens;
    for (const auto& e : world_->events)
      if (e.text.compare(0, 5, "open ") == 0) opens.push_back(e.text.substr(5));
    return opens;
  }
};

// A delta against the installed file, its own or a renamed one's, is all that
// travels; the progress counts its bytes.
TEST_F(ObjectDownloadTest, DeltaAgainstTheInstalledBaseIsAllThatIsFetched) {
  const std::string oldA = Text(1, 9000), newA = oldA.substr(0, 4000) + "changed" + oldA.substr(4000);
  const std::string oldLib = Text(2, 7000), newLib = oldLib + "v2";
  const std::string deltaA = Frame(newA, oldA), deltaLib = Frame(newLib, oldLib);
  Offer("a.dll", newA, oldA, "", Body(deltaA), Body(Frame(newA)), Body(newA));
  Offer("lib-2.dll", newLib, oldLib, "lib-1.dll", Body(deltaLib), Body(Frame(newLib)), Body(newLib));
  Run();
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_EQ(Opens(), (std::vector<std::string>{"http://host/app/2.0/update/delta/" + Crc(oldA) + "/a.dll.zst",
                                               "http://host/app/2.0/update/delta/" + Crc(oldLib) +
                                                   "/lib-2.dll.zst"}));
  EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == newA);
  EXPECT_TRUE(world_->files.at(kStaging + "lib-2.dll") == newLib);
  const std::string lastProgress = "Progress 1 " + std::to_string(deltaA.size()) + "/" + std::to_string(deltaA.size());
  const std::vector<std::string> n = world_->Notifications();
  EXPECT_NE(std::find_if(n.begin(), n.end(), [&](const std::string& s) { return s.rfind(lastProgress, 0) == 0; }),
            n.end());
}

// A damaged or unusable object fails its attempt like any other failure;
// the next attempt takes the next object down, ending with the plain file.
TEST_F(ObjectDownloadTest, DamagedObjectsFallBackDownTheOrderToThePlainFile) {
  const std::string oldA = Text(3, 6000), newA = Text(4, 6000);
  Offer("a.dll", newA, oldA, "", Body(Damaged(Frame(newA, oldA))), Body(Frame(newA + "more")), Body(newA));
  Run();
  EXPECT_EQ(Opens(), (std::vector<std::string>{"http://host/app/2.0/update/delta/" + Crc(oldA) + "/a.dll.zst",
                                               "http://host/app/2.0/update/packed/a.dll.zst",
                                               "http://host/app/2.0/a.dll"}));
  const std::vector<std::string> n = world_->Notifications();
  EXPECT_EQ(std::count(n.begin(), n.end(), "FileEnd 1 failed"), 2);
  EXPECT_EQ(world_->TimesOf("TryAgain"), (std::vector<uint32_t>{2000, 7000}));
  EXPECT_EQ(n.back(), "Complete ok");
  EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == newA);
}

// A code delta as the publisher writes it, against a base whose first
// `repeated` bytes the new file repeats; with `rawMap`, that map in place
// of the one the residual was made against.
// A file of one segment against its whole base, as a large file's first.
std::string Segmented(const std::string& content, const std::string& base) {
  const std::string frame = Frame(content, base);
  return files::SegmentedHeader({files::kMinSegment, 0}, {static_cast<uint32_t>(frame.size())}) + frame;
}

// Offered in place of the file's delta.
void OfferInSegments(engine::FileEntry& entry, FakeWorld& world, const std::string& object,
                     const std::string& base) {
  entry.Deltas.clear();
  entry.SegmentedDeltas.push_back({Crc(base), static_cast<uint64_t>(object.size()), ""});
  world.server["http://host/app/2.0/update/segmented/" + Crc(base) + "/" + entry.Name + ".usd"] = {Body(object)};
}

std::string CodeDelta(const std::string& content, const std::string& base, uint32_t repeated,
                      std::string rawMap = {}) {
  files::CodeMap map;
  map.blocks = {{0, 0, repeated}};
  std::string prediction;
  EXPECT_TRUE(files::PredictNewFile(base, map, content.size(), prediction));
  if (rawMap.empty()) rawMap = files::WriteCodeMap(map);
  std::string packedMap(ZSTD_compressBound(rawMap.size()), '\0');
  packedMap.resize(ZSTD_compress(packedMap.data(), packedMap.size(), rawMap.data(), rawMap.size(), 3));
  files::CodeDeltaHeader header;
  header.newSize = content.size();
  header.baseSize = base.size();
  header.baseCrc = files::Crc32Update(0, base.data(), base.size());
  header.mapBytes = static_cast<uint32_t>(packedMap.size());
  header.mapRawBytes = static_cast<uint32_t>(rawMap.size());
  return files::WriteCodeDeltaHeader(header) + packedMap + Frame(content, prediction);
}

// A code delta comes before the delta of the same base; a damaged one, or
// one whose few bytes of map count more blocks than memory holds, costs one
// attempt and the delta takes over.
TEST_F(ObjectDownloadTest, CodeDeltaIsTakenFirstAndADamagedOneFallsBackToTheDelta) {
  const std::string oldA = Text(5, 8000), newA = oldA.substr(0, 5000) + "inserted" + oldA.substr(5000);
  std::string hostileMap = files::WriteCodeMap({});
  hostileMap.resize(hostileMap.size() - 2);  // the counts of blocks and corrections, 0
  hostileMap += std::string(8, '\x80') + '\x40';  // the block count 2^62
  for (const char* variant : {"whole", "damaged", "hostile count"}) {
    SCOPED_TRACE(variant);
    Reset();
    const bool whole = std::string(variant) == "whole";
    const bool damaged = std::string(variant) == "damaged";
    std::string code = CodeDelta(newA, oldA, 5000, whole || damaged ? std::string() : hostileMap);
    if (damaged) code = Damaged(code);
    Offer("a.dll", newA, oldA, "", Body(Frame(newA, oldA)), Body(Frame(newA)), Body(newA));
    job_.files.back().CodeDeltas.push_back({Crc(oldA), static_cast<uint64_t>(code.size()), ""});
    const std::string codeUrl = "http://host/app/2.0/update/code/" + Crc(oldA) + "/a.dll.ucd";
    world_->server[codeUrl] = {Body(code)};
    Run();
    std::vector<std::string> expected{codeUrl};
    if (!whole) expected.push_back("http://host/app/2.0/update/delta/" + Crc(oldA) + "/a.dll.zst");
    EXPECT_EQ(Opens(), expected);
    EXPECT_EQ(world_->Notifications().back(), "Complete ok");
    EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == newA);
  }
}

// Memory that runs out while an object is decoded (in a 32-bit process a
// size beyond what a container takes throws std::length_error instead)
// passes to the next form in the same attempt, as a base that does not fit
// does: no attempt is spent, and the run goes on.
TEST_F(ObjectDownloadTest, DecodingThatRunsOutOfMemoryPassesToTheNextFormInTheSameAttempt) {
  const std::string oldA = Text(5, 8000), newA = oldA.substr(0, 5000) + "inserted" + oldA.substr(5000);
  const std::string codeUrl = "http://host/app/2.0/update/code/" + Crc(oldA) + "/a.dll.ucd";
  const std::function<void()> failures[] = {[] { throw std::length_error("vector::reserve"); },
                                            [] { throw std::bad_alloc(); }};
  for (const std::function<void()>& failure : failures) {
    Reset();
    const std::string code = CodeDelta(newA, oldA, 5000);
    Offer("a.dll", newA, oldA, "", Body(Frame(newA, oldA)), Body(Frame(newA)), Body(newA));
    job_.files.back().CodeDeltas.push_back({Crc(oldA), static_cast<uint64_t>(code.size()), ""});
    world_->server[codeUrl] = {Body(code)};
    world_->readBackThrows = failure;
    Run();
    EXPECT_EQ(Opens(), (std::vector<std::string>{codeUrl, "http://host/app/2.0/update/delta/" + Crc(oldA) +
                                                              "/a.dll.zst"}));
    const std::vector<std::string> n = world_->Notifications();
    EXPECT_TRUE(world_->TimesOf("TryAgain").empty());
    EXPECT_EQ(std::count(n.begin(), n.end(), "FileEnd 1 failed"), 0);
    EXPECT_EQ(n.back(), "Complete ok");
    EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == newA);
  }
}

// An object's received bytes stay while its file is not staged, so that a
// transfer cut short is continued; once the file is staged they go, before
// any pass.
TEST_F(ObjectDownloadTest, ReceivedObjectStaysUntilItsFileIsStagedThenGoes) {
  std::mt19937 random(5);
  std::string newA(100000, '\0');
  for (char& c : newA) c = static_cast<char>(random());
  const std::string oldA = Text(1, 9000), delta = Frame(newA, oldA);
  const std::string deltaUrl = "http://host/app/2.0/update/delta/" + Crc(oldA) + "/a.dll.zst";
  Offer("a.dll", newA, oldA, "", Body(delta), Body(Frame(newA)), Body(newA));
  world_->hosted[deltaUrl] = {delta, "\"v1\"", {60000}};
  world_->stopAtMs = 30000;  // the watchdog ends the stalled transfer
  Run();
  const std::string partial = engine::PartialPathsOf(kStaging, deltaUrl).data;
  ASSERT_EQ(world_->files.at(partial).size(), 60000u);

  world_->control.stopRequested = false;
  world_->stopAtMs = UINT32_MAX;
  world_->hosted[deltaUrl].stallAt.clear();
  world_->events.clear();
  Run();
  EXPECT_EQ(Opens(), (std::vector<std::string>{deltaUrl + " from 60000"}));
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == newA);
  for (const auto& [path, content] : world_->files)
    EXPECT_NE(path.rfind(kStaging + "update\\", 0), 0u) << path;
}

// A signed list: a file must match its SHA-256 as well. The server's copy
// has four bytes appended that bring its CRC-32 back to the listed one.
class SignedDownloadTest : public DownloadRunTest {
 protected:
  void SetUp() override { job_.requireSha256 = true; }
  void AddSigned(const std::string& name, const std::string& wanted, std::vector<Response> responses) {
    Add(name, wanted, std::move(responses));
    job_.files.back().Sha256 = testing_support::Sha256HexOf(wanted);
  }
  static std::string Forged(const std::string& wanted) {
    return wanted + testing_support::CrcRestoringSuffix(wanted);
  }
};

TEST_F(SignedDownloadTest, FileWithTheListedCrcButAnotherSha256FailsEveryAttempt) {
  const std::string wanted = "release build of a.dll";
  const std::string forged = Forged(wanted);
  ASSERT_EQ(Crc(forged), Crc(wanted));  // the CRC alone cannot tell them apart
  AddSigned("a.dll", wanted, {Body(forged)});
  AddSigned("b.txt", "next", {Body("next")});
  Run();
  const std::vector<std::string> n = world_->Notifications();
  EXPECT_EQ(std::count(n.begin(), n.end(), "FileEnd 1 failed"), engine::kAttemptsPerFile);
  EXPECT_EQ(n.back(), "Complete failed");
  EXPECT_TRUE(world_->TimesOf("FileStart 2").empty());

  // The same file through an unsigned list passes: only the hash stops it.
  Reset();
  job_.requireSha256 = false;
  Add("a.dll", wanted, {Body(forged)});
  Run();
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
}

TEST_F(SignedDownloadTest, AttemptThatBringsTheRightBytesAfterAForgedOneSucceeds) {
  const std::string wanted(5000, 'w');
  AddSigned("a.dll", wanted, {Body(Forged(wanted)), Body(wanted)});
  Run();
  EXPECT_EQ(world_->Notifications(),
            (std::vector<std::string>{"FileStart 1", "Trace 下载文件:http://host/app/2.0/a.dll",
                                      "Progress 1 2048/5004 +0", "Progress 1 4096/5004 +0",
                                      "Progress 1 5004/5004 +0", "FileEnd 1 failed", "TryAgain 2",
                                      "Progress 1 2048/5000 +5000", "Progress 1 4096/5000 +5000",
                                      "Progress 1 5000/5000 +5000", "FileEnd 1 ok", "Complete ok"}));
  EXPECT_EQ(world_->files.at(kStaging + "a.dll"), wanted);
}

TEST_F(SignedDownloadTest, StagedLeftoverCountsOnlyWhenBothHashesMatch) {
  const std::string wanted = "staged by an earlier run";
  AddSigned("kept.txt", wanted, {Body("the server is not asked")});
  world_->Put(kStaging + "kept.txt", wanted);
  AddSigned("forged.txt", wanted, {Body(wanted)});
  world_->Put(kStaging + "forged.txt", Forged(wanted));
  AddSigned("unlisted.txt", wanted, {Body(wanted)});
  job_.files.back().Sha256.clear();  // a list without the hash names no file
  Run();
  EXPECT_EQ(world_->TimesOf("open"), (std::vector<uint32_t>{0, 0, 5000, 10000, 15000, 20000}));
  EXPECT_EQ(world_->files.at(kStaging + "forged.txt"), wanted);
  EXPECT_EQ(world_->Notifications().back(), "Complete failed");
  const std::vector<std::string> n = world_->Notifications();
  EXPECT_EQ(std::count(n.begin(), n.end(), "FileEnd 3 failed"), engine::kAttemptsPerFile);
}

// --- Bad answers and bad moments ---------------------------------------------

// A library renamed in four releases leaves four bases installed: four
// deltas and a packed object stand before the plain file. A mirror that has
// none of them still serves the plain file, which keeps its two attempts.
TEST_F(ObjectDownloadTest, PlainFileIsReachedBehindFourDeltasAndAPackedObject) {
  const std::string wanted = Text(9, 20000);
  Add("lib.dll", wanted, {Body(wanted)});
  FileEntry& entry = job_.files.back();
  entry.Size = wanted.size();
  entry.PackedSize = 9000;
  const Response missing{9, {"not found"}, 404};
  for (int release = 1; release <= 4; ++release) {
    const std::string base = Text(static_cast<char>(release), 20000);
    const std::string baseName = "lib-" + std::to_string(release) + ".dll";
    world_->Put("C:\\Tool\\" + baseName, base);
    entry.Deltas.push_back({Crc(base), static_cast<uint64_t>(1000 * release), baseName});
    world_->server["http://host/app/2.0/update/delta/" + Crc(base) + "/lib.dll.zst"] = {missing};
  }
  world_->server["http://host/app/2.0/update/packed/lib.dll.zst"] = {missing};
  Run();
  const std::vector<std::string> opens = Opens();
  ASSERT_EQ(opens.size(), 4u);
  for (size_t i = 0; i < 3; ++i) EXPECT_NE(opens[i].find("/update/delta/"), std::string::npos) << opens[i];
  EXPECT_EQ(opens[3], "http://host/app/2.0/lib.dll");
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_TRUE(world_->files.at(kStaging + "lib.dll") == wanted);
}

// The list bounds every answer: a 40 MB answer to an object listed at 3,000
// bytes is refused before a byte of it is read; an object of the listed
// length whose frame names another size fails in its first read; either
// way the plain file follows.
TEST_F(ObjectDownloadTest, AnswersAreBoundedByTheSizesTheListGives) {
  // Noise, so that the wrong frame is longer than one read.
  std::mt19937 random(11);
  std::string other(30001, '\0');
  for (char& c : other) c = static_cast<char>(random());
  const std::string wanted = Text(5, 30000);
  for (const bool wrongFrame : {false, true}) {
    SCOPED_TRACE(wrongFrame);
    Reset();
    const std::string packed = wrongFrame ? Frame(other) : std::string(3000, 'x');
    Offer("a.dll", wanted, Text(7, 100), "", Body("unused"), Body(packed), Body(wanted));
    job_.files.back().Deltas.clear();
    if (!wrongFrame)
      world_->server["http://host/app/2.0/update/packed/a.dll.zst"] = {{40000000, {std::string(1 << 16, 'z')}}};
    Run();
    EXPECT_EQ(Opens(), (std::vector<std::string>{"http://host/app/2.0/update/packed/a.dll.zst",
                                                 "http://host/app/2.0/a.dll"}));
    ASSERT_TRUE(!wrongFrame || packed.size() > 10 * engine::kReadSize) << packed.size();
    EXPECT_EQ(world_->served, (wrongFrame ? engine::kReadSize : 0) + wanted.size());
    // The refused answer is closed before the pause, not left to arrive.
    ASSERT_FALSE(world_->closesAtSleep.empty());
    EXPECT_EQ(world_->closesAtSleep.front(), 1);
    EXPECT_EQ(world_->Notifications().back(), "Complete ok");
    EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == wanted);
  }
}

// A delta's base that changed since the difference step, or a form whose
// base, decoded file or prediction cannot be mapped (the address space has
// no room), is passed over without a request and without an attempt; a
// packed object whose decoded file cannot be mapped goes through a sink.
// Nothing mapped or made for a form stays behind.
TEST_F(ObjectDownloadTest, FormWhoseFilesCannotBeMappedOrWhoseBaseChangedIsPassedOverWithoutARequest) {
  const std::string oldA = Text(1, 9000), newA = oldA + "v2";
  const std::string deltaUrl = "http://host/app/2.0/update/delta/" + Crc(oldA) + "/a.dll.zst";
  const std::string codeUrl = "http://host/app/2.0/update/code/" + Crc(oldA) + "/a.dll.ucd";
  const std::string packedUrl = "http://host/app/2.0/update/packed/a.dll.zst";
  const std::string segmentedUrl = "http://host/app/2.0/update/segmented/" + Crc(oldA) + "/a.dll.usd";
  const auto scratch = [](const std::string& url, const char* suffix) {
    return engine::PartialPathsOf(kStaging, url).data + suffix;
  };
  struct Case {
    const char* what;
    std::string unmappable;  // the one path whose mapping fails
    bool codeDelta;          // offered before the delta
    std::vector<std::string> opens;
    bool segmented = false;  // the delta offered in segments
  };
  const Case cases[] = {
      {"base changed", "", false, {packedUrl}},
      {"base", "C:\\Tool\\a.dll", true, {packedUrl}},
      {"delta's decoded file", scratch(deltaUrl, engine::kPartialDecodedSuffix), false, {packedUrl}},
      {"code delta's prediction", scratch(codeUrl, engine::kPartialPredictionSuffix), true, {deltaUrl}},
      {"code delta's decoded file", scratch(codeUrl, engine::kPartialDecodedSuffix), true, {deltaUrl}},
      {"packed object's decoded file", scratch(packedUrl, engine::kPartialDecodedSuffix), false, {packedUrl}},
      {"base of a delta in segments", "C:\\Tool\\a.dll", false, {packedUrl}, true},
      {"decoded file of a delta in segments", scratch(segmentedUrl, engine::kPartialDecodedSuffix), false, {packedUrl},
       true},
      {"base changed, a delta in segments", "", false, {packedUrl}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    Offer("a.dll", newA, oldA, "", Body(Frame(newA, oldA)), Body(Frame(newA)), Body(newA));
    if (c.codeDelta) {
      const std::string code = CodeDelta(newA, oldA, 9000);
      job_.files.back().CodeDeltas.push_back({Crc(oldA), static_cast<uint64_t>(code.size()), ""});
      world_->server[codeUrl] = {Body(code)};
    }
    if (c.unmappable == scratch(packedUrl, engine::kPartialDecodedSuffix)) job_.files.back().Deltas.clear();
    if (c.segmented) OfferInSegments(job_.files.back(), *world_, Segmented(newA, oldA), oldA);
    if (c.unmappable.empty()) world_->Put("C:\\Tool\\a.dll", Text(2, 9000));  // changed after the difference step
    world_->failMap.insert(c.unmappable);
    Run();
    EXPECT_EQ(Opens(), c.opens);
    EXPECT_TRUE(world_->TimesOf("TryAgain").empty());
    EXPECT_EQ(world_->Notifications().back(), "Complete ok");
    EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == newA);
    EXPECT_TRUE(world_->mapped.empty());
    for (const auto& [path, content] : world_->files)
      EXPECT_NE(path.rfind(kStaging + "update\\", 0), 0u) << path;
  }
}

// Where nothing fails, every form is decoded into its mapped file: no write
// of a sink ever reaches the decoded file.
TEST_F(ObjectDownloadTest, EveryFormIsDecodedIntoItsMappedFile) {
  const std::string oldA = Text(1, 9000), newA = oldA + "v2";
  for (const char* form : {"packed", "delta", "code delta", "delta in segments"}) {
    SCOPED_TRACE(form);
    Reset();
    Offer("a.dll", newA, oldA, "", Body(Frame(newA, oldA)), Body(Frame(newA)), Body(newA));
    if (std::string(form) == "packed") job_.files.back().Deltas.clear();
    if (std::string(form) == "delta in segments") OfferInSegments(job_.files.back(), *world_, Segmented(newA, oldA), oldA);
    if (std::string(form) == "code delta") {
      const std::string code = CodeDelta(newA, oldA, 9000);
      job_.files.back().CodeDeltas.push_back({Crc(oldA), static_cast<uint64_t>(code.size()), ""});
      world_->server["http://host/app/2.0/update/code/" + Crc(oldA) + "/a.dll.ucd"] = {Body(code)};
    }
    Run();
    ASSERT_EQ(Opens().size(), 1u);
    EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == newA);
    const std::string decoded = std::string(engine::kPartialDecodedSuffix) + "\n";
    size_t created = 0;
    for (size_t at = world_->log.find(decoded); at != std::string::npos; at = world_->log.find(decoded, at + 1)) {
      const std::string line = world_->log.substr(world_->log.rfind('\n', at) + 1, 7);
      EXPECT_NE(line.substr(0, 6), "write ");
      created += line == "create ";
    }
    EXPECT_EQ(created, 1u);
  }
}

// An object of the listed size decoded into other bytes (a frame without its
// checksum) is never left staged, even when every later attempt fails.
TEST_F(ObjectDownloadTest, DecodedFileThatIsNotTheListedOneIsNeverLeftStaged) {
  const std::string wanted = Text(3, 6000), impostor = Text(4, 6000);
  Offer("a.dll", wanted, Text(5, 100), "", Body("unused"), Body(Frame(impostor)), FailOpen());
  job_.files.back().Deltas.clear();
  Run();
  EXPECT_EQ(world_->Notifications().back(), "Complete failed");
  EXPECT_EQ(world_->files.count(kStaging + "a.dll"), 0u);
}

// A run stopped at any moment of decoding (as a killed process is) leaves
// at the staging path either nothing or the listed file, never a part.
TEST_F(ObjectDownloadTest, StopWhileDecodingNeverLeavesAPartAtTheStagingPath) {
  const std::string oldA = Text(1, 200000), newA = oldA.substr(0, 90000) + "changed" + oldA.substr(90000);
  const auto setUp = [&] {
    Reset();
    Offer("a.dll", newA, oldA, "", Body(Frame(newA, oldA)), Body(Frame(newA)), Body(newA));
  };
  setUp();
  Run();
  ASSERT_EQ(world_->Notifications().back(), "Complete ok");
  const size_t total = world_->events.size();
  for (size_t stopAt = 0; stopAt < total; ++stopAt) {
    setUp();
    world_->stopAtEvent = stopAt;
    Run();
    const auto staged = world_->files.find(kStaging + "a.dll");
    EXPECT_TRUE(staged == world_->files.end() || staged->second == newA) << "stopped at event " << stopAt;
  }
}

// A read-back that fails while decoding leaves decoded bytes behind; the
// next attempt must not start on them.
TEST_F(ObjectDownloadTest, AttemptAfterAFailedDecodeStartsOnNothingOfIt) {
  std::mt19937 random(7);
  std::string wanted(300000, '\0');
  for (char& c : wanted) c = static_cast<char>(random());
  Offer("a.dll", wanted, Text(5, 100), "", Body("unused"), Body(Frame(wanted)), Body(wanted));
  job_.files.back().Deltas.clear();
  world_->failReadBackAfter = 50000;
  Run();
  EXPECT_EQ(Opens(), (std::vector<std::string>{"http://host/app/2.0/update/packed/a.dll.zst",
                                               "http://host/app/2.0/a.dll"}));
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_TRUE(world_->files.at(kStaging + "a.dll") == wanted);
}

// Reading a base, decoding and hashing on a slow disk go on longer than the
// stall limit in all; each piece counts as activity, so the watchdog never
// sees a stall while the work goes on.
TEST_F(ObjectDownloadTest, ReadingDecodingAndHashingCountAsActivity) {
  const std::string oldA = Text(1, 1 << 20), newA = oldA.substr(0, 500000) + "changed" + oldA.substr(500000);
  Offer("a.dll", newA, oldA, "", Body(Frame(newA, oldA)), Body(Frame(newA)), Body(newA));
  world_->slowDiskMs = 10000;
  world_->control.lastActivityTick = world_->now;
  Run();
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_EQ(Opens().size(), 1u);
  EXPECT_LT(world_->longestQuiet, 30000u);
}

// A write that lands only in part: the rest, and only the rest, follows.
TEST_F(DownloadRunTest, WriteThatLandsInPartIsNotWrittenAgainInFull) {
  std::string body(3 * engine::kWriteThreshold + 100, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 % 253);
  Add("big.bin", body, {Body(body)});
  world_->shortWrite = 1;
  Run();
  EXPECT_EQ(world_->TimesOf("open").size(), 1u);
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_TRUE(world_->files[kStaging + "big.bin"] == body);
}

// A 6 MiB file stalls at 60 %: what had arrived is on disk when the
// watchdog ends the transfer, and the retry fetches only the rest.
TEST_F(ResumeTest, StallLosesAlmostNothingOfWhatArrived) {
  const std::string content = Content(6 << 20, 5);
  Host(content, content);
  world_->hosted[kUrl].stallAt = {content.size() * 6 / 10};
  world_->hosted[kUrl].stallBlocks = true;
  RunUntilStalled();
  world_->hosted[kUrl].stallAt.clear();
  RunUntilStalled();
  EXPECT_EQ(world_->Notifications().back(), "Complete ok");
  EXPECT_TRUE(Staged() == content);
  EXPECT_LE(world_->served, content.size() + content.size() / 100);
}

// The watchdog stops a worker whose read never returns, and Retry goes on
// while that worker is still blocked: the partial file it wrote is free from
// the stop on, so the next attempt continues it and the placing pass moves
// it, and the worker, let go at last, writes nothing more.
TEST_F(ResumeTest, WorkerLeftBlockedInAReadHoldsNothingTheRetryOrThePassNeeds) {
  const std::string content = Content(4 * engine::kWriteThreshold, 6);
  Host(content, content);
  world_->hosted[kUrl].stallAt = {content.size() * 6 / 10};
  world_->hosted[kUrl].stallHangs = true;
  FakeWorld& w = *world_;
  DownloadControl stopped;
  std::thread worker([&] { engine::RunDownload(job_, w, w, w, w, stopped); });
  w.WaitUntilHung();
  EXPECT_TRUE(stopped.ClaimEnd(engine::RunEnd::kTimedOut));
  stopped.RequestStop();
  EXPECT_EQ(w.openFiles, 0);

  w.hosted[kUrl].stallAt.clear();
  RunUntilStalled();
  EXPECT_EQ(w.Notifications().back(), "Complete ok");
  EXPECT_EQ(w.Notifications()[2].rfind("Resumed 1 ", 0), 0u) << w.Notifications()[2];
  engine::ApplyInput input{"C:\\Tool\\", "Update.exe", "Main.exe", &job_.files, &job_.files};
  const engine::ApplyResult placed = engine::ApplyStagedFiles(w, w, input);
  EXPECT_EQ(placed.outcome, engine::ApplyOutcome::kApplied) << placed.heldPath;
  EXPECT_TRUE(w.files["C:\\Tool\\big.bin"] == content);

  const size_t writes = w.writes.size();
  w.ReleaseHungReads();
  worker.join();
  EXPECT_EQ(w.writes.size(), writes);
  EXPECT_FALSE(PartialLeft());
}

}  // namespace
