#pragma once
// A one-line progress bar for long copies, redrawn in place a few times a
// second. Silent unless enabled, so pipes and logs get no control bytes.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace updpub {

// Releases smaller than this finish before a bar would be worth reading.
inline constexpr uint64_t kProgressMinimumBytes = uint64_t{64} << 20;

// The bar's text for a state: "[#####     ]  50%  1.0 / 2.0 GiB  5 / 10 files".
std::string ProgressLine(uint64_t doneBytes, uint64_t totalBytes, size_t doneFiles, size_t totalFiles);

class ProgressBar {
 public:
  ProgressBar(std::FILE* out, bool enabled, uint64_t totalBytes, size_t totalFiles)
      : out_(out), enabled_(enabled), totalBytes_(totalBytes), totalFiles_(totalFiles) {}
  ~ProgressBar() { Finish(); }
  ProgressBar(const ProgressBar&) = delete;
  ProgressBar& operator=(const ProgressBar&) = delete;

  void AddBytes(uint64_t bytes);
  void FileDone();
  // A line of its own ("updpub: TEXT"), above the bar when one is drawn;
  // written whether or not the bar is enabled.
  void Note(const std::string& text);
  // Draws the final state and ends the line; later calls draw nothing.
  void Finish();

 private:
  void Draw(bool force);

  std::FILE* out_;
  bool enabled_;
  uint64_t totalBytes_;
  size_t totalFiles_;
  uint64_t doneBytes_ = 0;
  size_t doneFiles_ = 0;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

}  // namespace updpub
