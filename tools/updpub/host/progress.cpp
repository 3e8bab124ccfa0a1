#include "updpub/host/progress.h"

namespace updpub {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kRedrawInterval = std::chrono::milliseconds(100);

std::string Amount(uint64_t bytes) {
  char text[32];
  const double value = static_cast<double>(bytes);
  if (bytes >= (uint64_t{1} << 30)) {
    std::snprintf(text, sizeof text, "%.2f GiB", value / (1 << 30));
  } else {
    std::snprintf(text, sizeof text, "%.1f MiB", value / (1 << 20));
  }
  return text;
}

}  // namespace

std::string ProgressLine(uint64_t doneBytes, uint64_t totalBytes, size_t doneFiles, size_t totalFiles) {
  const double fraction =
      totalBytes == 0 ? 1.0 : static_cast<double>(doneBytes > totalBytes ? totalBytes : doneBytes) / totalBytes;
  const int filled = static_cast<int>(fraction * kBarWidth);
  std::string line = "[";
  line.append(static_cast<size_t>(filled), '#');
  line.append(static_cast<size_t>(kBarWidth - filled), ' ');
  char text[96];
  std::snprintf(text, sizeof text, "] %3d%%  ", static_cast<int>(fraction * 100));
  line += text;
  line += Amount(doneBytes) + " / " + Amount(totalBytes);
  std::snprintf(text, sizeof text, "  %llu / %llu files", static_cast<unsigned long long>(doneFiles),
                static_cast<unsigned long long>(totalFiles));
  line += text;
  return line;
}

void ProgressBar::AddBytes(uint64_t bytes) {
  doneBytes_ += bytes;
  Draw(false);
}

void ProgressBar::FileDone() {
  ++doneFiles_;
  Draw(false);
}

void ProgressBar::Note(const std::string& text) {
  if (!out_) return;
  // Blanks over the rest of the bar's line, which is then drawn again below.
  const size_t barWidth =
      drawn_ && enabled_ ? ProgressLine(doneBytes_, totalBytes_, doneFiles_, totalFiles_).size() : 0;
  const std::string line = "updpub: " + text;
  std::fprintf(out_, "%s%s%s\n", enabled_ && drawn_ ? "\r" : "", line.c_str(),
               std::string(barWidth > line.size() ? barWidth - line.size() : 0, ' ').c_str());
  std::fflush(out_);
  if (enabled_ && drawn_) Draw(true);
}

void ProgressBar::Finish() {
  if (!enabled_) return;
  Draw(true);
  std::fputc('\n', out_);
  std::fflush(out_);
  enabled_ = false;
}

void ProgressBar::Draw(bool force) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!force && drawn_ && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  drawn_ = true;
  std::fprintf(out_, "\r%s", ProgressLine(doneBytes_, totalBytes_, doneFiles_, totalFiles_).c_str());
  std::fflush(out_);
}

}  // namespace updpub
