#include "wizard/difference_step_win.h"

#include <string>
#include <vector>

#include "base/trace.h"
#include "download/difference.h"
#include "engine/completion_win.h"
#include "engine/download_worker_win.h"
#include "engine/session.h"
#include "engine/worker_messages_win.h"
#include "files/file_system_win.h"
#include "site/file_list.h"
#include "wizard/main_window_win.h"
#include "wizard/progress_display_win.h"
#include "wizard/window_layer_win.h"
#include "wizard/wizard_texts.h"

namespace wizard {
namespace {

constexpr char kCountTraceOpen[] = "共需下载[";
constexpr char kCountTraceClose[] = "]个文件";
constexpr char kStartFailedTrace[] = "下载线程启动失败";

void AddFinishedRow(const std::string& text) {
  auto& c = Controls();
  const int row = AddListRow(c.OperationList, text);
  SetListCell(c.OperationList, row, 1, texts::kFullProgress);
}

}  // namespace

void CompareFileList() {
  auto& c = Controls();
  auto& session = engine::CurrentSession();
  engine::SkippedNames skipped;
  session.ServerFileList = engine::ReadServerFileList(session.FileListDocument, &skipped);
  session.DownloadList.clear();
  for (const std::string& name : skipped.leavingFolder) base::Trace(engine::kLeavingFolderTrace + name);
  for (const std::string& name : skipped.inStagingFolder) base::Trace(engine::kInStagingFolderTrace + name);

  SetText(c.DownloadStatusLabel, texts::kComparingFiles);
  AddFinishedRow(texts::kReadingLocalSignatures);
  files::WindowsFileSystem fs;
  session.DownloadList = engine::FilesToDownload(session.ServerFileList, session.ProgramFolder, fs);
  engine::LeaveOutPendingSelfUpdate(session.DownloadList);
  AddFinishedRow(texts::kComparedFiles);

  const std::string count = std::to_string(session.DownloadList.size());
  const int row = AddListRow(c.OperationList, texts::kFilesToDownloadOpen + count + texts::kFilesToDownloadClose);
  base::Trace(kCountTraceOpen + count + kCountTraceClose);
  SetListCell(c.OperationList, row, 1, texts::kFullProgress);
  SelectListRow(c.OperationList, row);

  if (session.DownloadList.empty()) {
    // Handled at once, nested in this click.
    engine::NotifyDownloadComplete(c.MainWindow, true);
    return;
  }
  if (!engine::StartDownloadRun(c.MainWindow, session.DownloadList)) {
    base::Trace(kStartFailedTrace);
    engine::NotifyDownloadComplete(c.MainWindow, false);
  }
}

}  // namespace wizard
