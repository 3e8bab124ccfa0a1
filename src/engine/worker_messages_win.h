#pragma once
// The registered messages through which workers report to the main window.
// Each report is a synchronous send: the worker waits until the handler ran,
// so anything it passes by address stays valid for the handler's duration.
#include <windows.h>

namespace engine {

struct TransferProgress;
struct ApplyReport;

struct WorkerMessageIds {
  UINT GetConfig = 0;
  UINT CheckOnline = 0;  // registered and kept, never sent
  UINT GetInfo = 0;
  UINT DownloadFileStart = 0;
  UINT DownloadProgress = 0;
  UINT DownloadFileEnd = 0;
  UINT DownloadComplete = 0;
  UINT DownLoadTimeOut = 0;
  UINT DownLoadTryAgain = 0;
  UINT DownloadResumed = 0;
  UINT ApplyComplete = 0;
};

// Registers the nine names in their fixed order, then the resumed-download
// and the placing reports. Called once on the
// user-interface thread before the first worker starts; read-only afterwards.
void RegisterWorkerMessages();
const WorkerMessageIds& MessageIds();

void NotifyGetConfig(HWND window, bool success);
void NotifyGetInfo(HWND window, bool success);
void NotifyDownloadFileStart(HWND window, int index);
// progress belongs to the sender; the handler copies it.
void NotifyDownloadProgress(HWND window, int index, const TransferProgress& progress);
// An attempt continues kept bytes from progress.Received on.
void NotifyDownloadResumed(HWND window, int index, const TransferProgress& progress);
void NotifyDownloadFileEnd(HWND window, int index, bool success);
void NotifyDownloadComplete(HWND window, bool success);
void NotifyDownLoadTimeOut(HWND window, HANDLE workerThread);
void NotifyDownLoadTryAgain(HWND window, int attempt);
// report belongs to the sender; the handler reads it during the send.
void NotifyApplyComplete(HWND window, const ApplyReport& report);

}  // namespace engine
