#include "wizard/progress_display_win.h"

#include <commctrl.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/wide_text_win.h"
#include "download/download_run.h"
#include "engine/session.h"
#include "wizard/main_window_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"

namespace wizard {
namespace {

constexpr DWORD kRefreshAfterMs = 200;
constexpr UINT kSizeTextCapacity = 255;
constexpr int kFullPercent = 100;

// The tick of the last refresh of the progress texts; never reset, so the
// first report after start-up always refreshes.
DWORD g_lastDisplayTick = 0;

// The bar's position as last set, so that a report that does not move it
// asks nothing of the bar: the bar is subclassed, and under Wine every
// message to a subclassed control costs server round trips for its
// properties, which at one report per 2 KiB read made the download about a
// quarter slower. -1 until the current file's first report.
int g_shownPercent = -1;

// Where the current attempt began within its file: the kept bytes it
// continues, which this attempt did not receive.
int32_t g_resumedFrom = 0;

engine::FileEntry* DownloadEntry(int index) {
  auto& list = engine::CurrentSession().DownloadList;
  if (index < 1 || static_cast<size_t>(index) > list.size()) return nullptr;
  return &list[static_cast<size_t>(index) - 1];
}

std::string ByteSizeText(uint32_t bytes) {
  wchar_t text[kSizeTextCapacity + 1] = {};
  StrFormatByteSizeW(bytes, text, kSizeTextCapacity);
  return base::GbkFromWide(text);
}

int Percent(const engine::TransferProgress& progress) {
  if (progress.Total <= 0) return 0;
  const double percent = static_cast<double>(progress.Received) / progress.Total * kFullPercent;
  // A server that sends more than it announced must not push the bar past full.
  return percent >= kFullPercent ? kFullPercent : static_cast<int>(percent);
}

uint32_t BytesPerSecond(const engine::TransferProgress& progress) {
  // The first read can end within the tick it started in.
  const double elapsed = progress.ElapsedMs > 0 ? progress.ElapsedMs : 1;
  const int32_t received = progress.Received - std::min(g_resumedFrom, progress.Received);
  return static_cast<uint32_t>(received / elapsed * 1000);
}

// The bar whenever it moves; the texts at most every kRefreshAfterMs, and
// always when `now`.
void ShowProgress(int index, const engine::TransferProgress& progress, bool now) {
  auto& c = Controls();
  const int percent = Percent(progress);
  // Every 2 KiB read reports; the bar only moves a hundred times a file, and
  // setting it repaints it, which would cost more than the read itself.
  if (percent != g_shownPercent) {
    SendMessageW(c.FileProgressBar, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
    g_shownPercent = percent;
  }
  const DWORD since = GetTickCount() - g_lastDisplayTick;
  if (since <= kRefreshAfterMs && !now) return;
  if (const engine::FileEntry* entry = DownloadEntry(index)) {
    SetListCell(c.OperationList, entry->ListRow, 1, std::to_string(percent) + texts::kPercent);
  }
  SetText(c.DownloadedLabel, texts::kDownloadedPrefix + ByteSizeText(static_cast<uint32_t>(progress.Received)));
  SetText(c.FileSizeLabel, texts::kTotalSizePrefix + ByteSizeText(static_cast<uint32_t>(progress.Total)));
  SetText(c.SpeedLabel, texts::kSpeedPrefix + ByteSizeText(BytesPerSecond(progress)) + texts::kPerSecond);
  g_lastDisplayTick = GetTickCount();
}

}  // namespace

void OnDownloadFileStart(int index) {
  g_shownPercent = -1;
  g_resumedFrom = 0;
  auto& c = Controls();
  engine::FileEntry* entry = DownloadEntry(index);
  if (!entry) return;
  const std::string text = texts::kDownloadingOpen + entry->Name + texts::kDownloadingClose;
  entry->ListRow = AddListRow(c.OperationList, text);
  SetListCell(c.OperationList, entry->ListRow, 1, texts::kZeroProgress);
  SetText(c.DownloadStatusLabel, text);
  SelectListRow(c.OperationList, entry->ListRow);
}

void OnDownloadProgress(int index, const engine::TransferProgress* record) {
  engine::TransferProgress progress;
  std::memcpy(&progress, record, sizeof(progress));
  ShowProgress(index, progress, progress.Received == progress.Total);
}

void OnDownloadResumed(int index, const engine::TransferProgress* record) {
  engine::TransferProgress progress;
  std::memcpy(&progress, record, sizeof(progress));
  g_resumedFrom = progress.Received;
  ShowProgress(index, progress, true);
}

void OnDownloadFileEnd(int index, bool success) {
  if (!success) return;  // the row keeps its last percentage
  if (const engine::FileEntry* entry = DownloadEntry(index)) {
    SetListCell(Controls().OperationList, entry->ListRow, 1, texts::kFullProgress);
  }
}

void OnDownLoadTryAgain(int attempt) {
  g_resumedFrom = 0;
  char text[sizeof(texts::kRetryAnnouncement) + 16];
  std::snprintf(text, sizeof(text), texts::kRetryAnnouncement, attempt);
  AddStatusRow(text);
}

void OfferRetry() {
  auto& c = Controls();
  SetText(c.NextButton, texts::kRetry);
  Enable(c.NextButton, true);
}

void OnDownLoadTimeOut() {
  AddStatusRow(texts::kConnectionTimedOut);
  OfferRetry();
  Enable(Controls().PrevButton, true);
}

}  // namespace wizard
