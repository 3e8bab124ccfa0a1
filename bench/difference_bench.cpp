// The difference step (engine::FilesToDownload over files::WindowsFileSystem)
// against a bare loop that opens, reads whole in 1 MiB pieces and closes the
// same files. Every file is listed with a Hash that does not match, so the
// step reads each one whole, as on a first update. Then the placing of the
// 10,000 small files (engine::ApplyStagedFiles), which flushes each staged
// file's data before its rename, against the same pass without the flush:
// the price of a program that stays whole across a power cut. Windows build
// only; run under Wine:
//
//   wine build/windows/bench/difference_bench.exe [--rounds N] [--folder DIR] [--remove]
//
// Two data sets: 10,000 files of 1 to 8 KiB in ten sub-folders, and 1 GiB in
// four files of 256 MiB. They are written on first use to DIR (default
// Z:\tmp\updater-difference-bench\ under Wine, else the temporary folder) and
// reused by later runs unless --remove is given. Both contenders run once
// untimed to fill the page cache, then alternate for N rounds (default 5);
// the median and the best round of each are printed.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/unique_handle_win.h"
#include "base/wide_text_win.h"
#include "download/difference.h"
#include "download/download_run.h"
#include "files/file_system_win.h"
#include "install/apply_staged.h"
#include "site/file_list.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kDefaultRounds = 5;
constexpr int kSmallFolders = 10;
constexpr int kSmallFilesPerFolder = 1000;
constexpr size_t kSmallMinBytes = 1024;
constexpr size_t kSmallMaxBytes = 8192;
constexpr int kLargeFiles = 4;
constexpr uint64_t kLargeFileBytes = uint64_t{256} << 20;
constexpr size_t kBareReadSize = size_t{1} << 20;
constexpr size_t kPageSize = 4096;
// A Hash that is valid hexadecimal, so nothing short-cuts the comparison,
// and that the random files' CRC-32 values do not take (checked below: every
// file must come back as one to fetch).
constexpr char kNonMatchingHash[] = "FFFFFFFF";
constexpr char kMarkerName[] = "complete.txt";

double Seconds(Clock::duration duration) { return std::chrono::duration<double>(duration).count(); }

uint64_t NextRandom(uint64_t& state) {
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  return state;
}

void FillRandom(std::vector<unsigned char>& bytes, size_t size, uint64_t& state) {
  for (size_t i = 0; i < size; i += 8) {
    const uint64_t value = NextRandom(state);
    std::memcpy(&bytes[i], &value, std::min<size_t>(8, size - i));
  }
}

bool IsFolder(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool MakeFolder(const std::wstring& path) {
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool WriteWholeFile(const std::wstring& path, const void* data, size_t size) {
  base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  return file && WriteFile(file.get(), data, static_cast<DWORD>(size), &written, nullptr) &&
         written == size;
}

// One data set: the names as the server's list gives them (relative, "\"
// between folders) and the bytes they hold together.
struct DataSet {
  const char* title;
  std::string folder;  // GBK, ends in "\"
  std::vector<std::string> names;
  uint64_t totalBytes = 0;
};

// The data sets are rebuilt when their marker is missing, so a run that was
// interrupted while writing starts over rather than measuring half a set.
bool Prepare(DataSet& set, const std::function<bool(DataSet&, bool write)>& build) {
  const std::wstring folder = base::WideFromGbk(set.folder);
  const std::wstring marker = folder + base::WideFromGbk(kMarkerName);
  const bool complete = GetFileAttributesW(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (complete) return build(set, false);
  std::printf("writing %s to %s ...\n", set.title, set.folder.c_str());
  std::fflush(stdout);
  if (!MakeFolder(folder) || !build(set, true)) return false;
  return WriteWholeFile(marker, "ok", 2);
}

bool BuildSmall(DataSet& set, bool write) {
  std::vector<unsigned char> bytes(kSmallMaxBytes);
  uint64_t state = 0x9E3779B97F4A7C15ull;
  for (int folder = 0; folder < kSmallFolders; ++folder) {
    const std::string sub = "d" + std::to_string(folder) + "\\";
    if (write && !MakeFolder(base::WideFromGbk(set.folder + sub))) return false;
    for (int i = 0; i < kSmallFilesPerFolder; ++i) {
      const size_t size = kSmallMinBytes + NextRandom(state) % (kSmallMaxBytes - kSmallMinBytes + 1);
      char name[32];
      std::snprintf(name, sizeof name, "f%04d.bin", i);
      set.names.push_back(sub + name);
      set.totalBytes += size;
      FillRandom(bytes, size, state);  // also when reusing: the next size depends on it
      if (!write) continue;
      if (!WriteWholeFile(base::WideFromGbk(set.folder + set.names.back()), bytes.data(), size)) return false;
    }
  }
  return true;
}

bool BuildLarge(DataSet& set, bool write) {
  std::vector<unsigned char> chunk(size_t{1} << 20);
  uint64_t state = 0x243F6A8885A308D3ull;
  for (int i = 0; i < kLargeFiles; ++i) {
    set.names.push_back("big" + std::to_string(i) + ".bin");
    set.totalBytes += kLargeFileBytes;
    if (!write) continue;
    base::UniqueFileHandle file(CreateFileW(base::WideFromGbk(set.folder + set.names.back()).c_str(),
                                            GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    for (uint64_t left = kLargeFileBytes; left > 0; left -= chunk.size()) {
      FillRandom(chunk, chunk.size(), state);
      DWORD written = 0;
      if (!WriteFile(file.get(), chunk.data(), static_cast<DWORD>(chunk.size()), &written, nullptr) ||
          written != chunk.size()) {
        return false;
      }
    }
  }
  return true;
}

// The floor: open, read whole, close, with nothing else around it. The wide
// paths are made before the clock starts.
class BareReader {
 public:
  explicit BareReader(const DataSet& set) : storage_(kBareReadSize + kPageSize) {
    for (const std::string& name : set.names) paths_.push_back(base::WideFromGbk(set.folder + name));
    // Page-aligned like FileSignature's buffer, so both copies run alike.
    const auto address = reinterpret_cast<uintptr_t>(storage_.data());
    buffer_ = storage_.data() + (kPageSize - address % kPageSize) % kPageSize;
  }

  uint64_t ReadAll() {
    uint64_t total = 0;
    for (const std::wstring& path : paths_) {
      base::UniqueFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                              nullptr, OPEN_EXISTING,
                                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
      if (!file) continue;
      DWORD got = 0;
      while (ReadFile(file.get(), buffer_, static_cast<DWORD>(kBareReadSize), &got, nullptr) && got > 0) {
        total += got;
      }
    }
    return total;
  }

 private:
  std::vector<std::wstring> paths_;
  std::vector<unsigned char> storage_;
  unsigned char* buffer_ = nullptr;
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Best(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }

// False when either contender did not see every byte or every file.
bool Measure(const DataSet& set, int rounds) {
  std::vector<engine::FileEntry> list;
  for (const std::string& name : set.names) list.push_back({name, kNonMatchingHash});
  files::WindowsFileSystem fs;
  BareReader bare(set);

  size_t listed = 0;
  uint64_t bareBytes = 0;
  const auto runOurs = [&] { listed = engine::FilesToDownload(list, set.folder, fs).size(); };
  const auto runBare = [&] { bareBytes = bare.ReadAll(); };

  // Untimed: fills the page cache and checks that both see everything.
  runBare();
  runOurs();
  if (bareBytes != set.totalBytes || listed != list.size()) {
    std::fprintf(stderr, "%s: bare loop read %llu of %llu bytes, difference step listed %zu of %zu files\n",
                 set.title, static_cast<unsigned long long>(bareBytes),
                 static_cast<unsigned long long>(set.totalBytes), listed, list.size());
    return false;
  }

  std::vector<double> oursTimes, bareTimes;
  for (int round = 0; round < rounds; ++round) {
    // The order swaps each round, so neither always runs on the other's heels.
    for (int step = 0; step < 2; ++step) {
      const bool ours = (step == 0) == (round % 2 == 0);
      const auto start = Clock::now();
      ours ? runOurs() : runBare();
      (ours ? oursTimes : bareTimes).push_back(Seconds(Clock::now() - start));
    }
  }

  const double mb = static_cast<double>(set.totalBytes) / 1e6;
  std::printf("\n%s: %zu files, %.1f MB, page-cached\n", set.title, list.size(), mb);
  std::printf("  %-36s %9s %9s %10s\n", "", "median s", "best s", "MB/s (med)");
  std::printf("  %-36s %9.3f %9.3f %10.0f\n", "bare open/read 1 MiB/close", Median(bareTimes),
              Best(bareTimes), mb / Median(bareTimes));
  std::printf("  %-36s %9.3f %9.3f %10.0f\n", "engine::FilesToDownload", Median(oursTimes), Best(oursTimes),
              mb / Median(oursTimes));
  std::printf("  ratio difference step / bare loop: %.2fx median, %.2fx best  (target <= 1.2x)\n",
              Median(oursTimes) / Median(bareTimes), Best(oursTimes) / Best(bareTimes));
  return true;
}

// The placing pass as it was before staged data was flushed.
class UnflushedFileSystem : public files::WindowsFileSystem {
 public:
  files::FileOutcome Flush(const std::string&) override { return files::FileOutcome::kDone; }
};

class TickClock : public engine::Clock {
 public:
  uint32_t Now() override { return GetTickCount(); }
  void Sleep(uint32_t ms) override { ::Sleep(ms); }
};

// Copies the data set into the staging folder of program (untimed).
bool Stage(const DataSet& set, const std::string& program, files::FileSystem& fs) {
  const std::string staging = program + engine::kStagingFolderName;
  for (const std::string& name : set.names) {
    if (!fs.MakeFolders(engine::FolderOfEntry(staging, name)) ||
        !CopyFileW(base::WideFromGbk(set.folder + name).c_str(), base::WideFromGbk(staging + name).c_str(), FALSE)) {
      return false;
    }
  }
  return true;
}

// Each round stages the files again and places them over the copies the
// round before placed, once with and once without the flush, taking turns.
bool MeasureApply(const DataSet& set, const std::string& program, int rounds) {
  std::vector<engine::FileEntry> list;
  for (const std::string& name : set.names) list.push_back({name, kNonMatchingHash});
  files::WindowsFileSystem flushed;
  UnflushedFileSystem unflushed;
  const engine::ApplyInput input{program, "Update.exe", "Main.exe", &list, &list};
  std::vector<double> flushedTimes, unflushedTimes;
  for (int round = -1; round < rounds; ++round) {  // round -1 is untimed: the first placing creates
    for (int step = 0; step < 2; ++step) {
      const bool flush = (step == 0) == (round % 2 == 0);
      files::FileSystem& fs = flush ? static_cast<files::FileSystem&>(flushed) : unflushed;
      if (!Stage(set, program, fs)) {
        std::fprintf(stderr, "cannot stage %s in %s\n", set.title, program.c_str());
        return false;
      }
      const auto start = Clock::now();
      TickClock tick;
      const engine::ApplyOutcome outcome = engine::ApplyStagedFiles(fs, tick, input).outcome;
      const double seconds = Seconds(Clock::now() - start);
      if (outcome != engine::ApplyOutcome::kApplied) {
        std::fprintf(stderr, "placing %s failed (%d)\n", set.title, static_cast<int>(outcome));
        return false;
      }
      if (round >= 0) (flush ? flushedTimes : unflushedTimes).push_back(seconds);
    }
  }
  std::printf("\n%s placed from the staging folder over the installed copies\n", set.title);
  std::printf("  %-36s %9s %9s %12s\n", "", "median s", "best s", "ms per file");
  const double files = static_cast<double>(list.size());
  std::printf("  %-36s %9.3f %9.3f %12.3f\n", "rename only", Median(unflushedTimes), Best(unflushedTimes),
              1e3 * Median(unflushedTimes) / files);
  std::printf("  %-36s %9.3f %9.3f %12.3f\n", "flush, then rename", Median(flushedTimes), Best(flushedTimes),
              1e3 * Median(flushedTimes) / files);
  std::printf("  ratio with flush / without: %.2fx median; flush costs %.3f ms a file\n",
              Median(flushedTimes) / Median(unflushedTimes),
              1e3 * (Median(flushedTimes) - Median(unflushedTimes)) / files);
  return true;
}

std::string DefaultFolder() {
  // Wine shows the host's /tmp as Z:\tmp; a Windows system has its own.
  std::wstring base = L"Z:\\tmp\\";
  if (!IsFolder(base)) {
    wchar_t temp[MAX_PATH + 1] = {};
    base = GetTempPathW(MAX_PATH, temp) ? temp : L".\\";
  }
  return base::GbkFromWide(base) + "updater-difference-bench\\";
}

void CloseSearch(HANDLE search) { FindClose(search); }
using UniqueSearch = base::UniqueHandle<HANDLE, CloseSearch, base::InvalidFileHandle>;

void RemoveTree(const std::wstring& folder) {
  WIN32_FIND_DATAW found{};
  const UniqueSearch search(FindFirstFileW((folder + L"*").c_str(), &found));
  if (search) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(folder + name + L"\\");
      } else {
        DeleteFileW((folder + name).c_str());
      }
    } while (FindNextFileW(search.get(), &found));
  }
  RemoveDirectoryW(folder.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = kDefaultRounds;
  std::string folder = DefaultFolder();
  bool remove = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--folder") == 0 && i + 1 < argc) {
      folder = argv[++i];
      if (folder.back() != '\\') folder += '\\';
    } else if (std::strcmp(argv[i], "--remove") == 0) {
      remove = true;
    } else {
      rounds = 0;
    }
  }
  if (rounds <= 0) {
    std::fprintf(stderr, "usage: difference_bench [--rounds N] [--folder DIR] [--remove]\n");
    return 2;
  }

  if (!MakeFolder(base::WideFromGbk(folder))) {
    std::fprintf(stderr, "cannot create %s\n", folder.c_str());
    return 1;
  }
  std::printf("data folder %s (%s)\n", folder.c_str(),
              remove ? "removed at the end" : "written on first use, reused by later runs");
  std::printf("%d rounds, contenders alternating; median and best round shown\n", rounds);
  DataSet sets[] = {{"(a) 10,000 small files", folder + "small\\", {}, 0},
                    {"(b) 1 GiB in 4 large files", folder + "large\\", {}, 0}};
  const std::function<bool(DataSet&, bool)> builders[] = {BuildSmall, BuildLarge};
  bool ok = true;
  for (int i = 0; i < 2 && ok; ++i) {
    if (!Prepare(sets[i], builders[i])) {
      std::fprintf(stderr, "cannot write %s\n", sets[i].folder.c_str());
      return 1;
    }
    ok = Measure(sets[i], rounds);
  }
  ok = ok && MeasureApply(sets[0], folder + "program\\", rounds);
  if (remove) RemoveTree(base::WideFromGbk(folder));
  return ok ? 0 : 1;
}
