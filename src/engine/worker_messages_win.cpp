#include "engine/worker_messages_win.h"

#include "download/download_run.h"
#include "engine/apply_worker_win.h"

namespace engine {
namespace {

WorkerMessageIds g_ids;

void Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam = 0) {
  SendMessageW(window, message, wParam, lParam);
}

}  // namespace

void RegisterWorkerMessages() {
  g_ids.GetConfig = RegisterWindowMessageW(L"QX_Tool_Update_GetConfig");
  g_ids.CheckOnline = RegisterWindowMessageW(L"QX_Tool_Update_CheckOnline");
  g_ids.GetInfo = RegisterWindowMessageW(L"QX_Tool_Update_GetInfo");
  g_ids.DownloadFileStart = RegisterWindowMessageW(L"QX_Tool_Update_DownloadFileStart");
  g_ids.DownloadProgress = RegisterWindowMessageW(L"QX_Tool_Update_DownloadProgress");
  g_ids.DownloadFileEnd = RegisterWindowMessageW(L"QX_Tool_Update_DownloadFileEnd");
  g_ids.DownloadComplete = RegisterWindowMessageW(L"QX_Tool_Update_DownloadComplete");
  g_ids.DownLoadTimeOut = RegisterWindowMessageW(L"QX_Tool_Update_DownLoadTimeOut");
  g_ids.DownLoadTryAgain = RegisterWindowMessageW(L"QX_Tool_Update_DownLoadTryAgain");
  g_ids.DownloadResumed = RegisterWindowMessageW(L"QX_Tool_Update_DownloadResumed");
  g_ids.ApplyComplete = RegisterWindowMessageW(L"QX_Tool_Update_ApplyComplete");
}

const WorkerMessageIds& MessageIds() { return g_ids; }

void NotifyGetConfig(HWND window, bool success) { Send(window, g_ids.GetConfig, success ? 1 : 0); }
void NotifyGetInfo(HWND window, bool success) { Send(window, g_ids.GetInfo, success ? 1 : 0); }
void NotifyDownloadFileStart(HWND window, int index) {
  Send(window, g_ids.DownloadFileStart, static_cast<WPARAM>(index));
}
void NotifyDownloadProgress(HWND window, int index, const TransferProgress& progress) {
  Send(window, g_ids.DownloadProgress, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&progress));
}
void NotifyDownloadResumed(HWND window, int index, const TransferProgress& progress) {
  Send(window, g_ids.DownloadResumed, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&progress));
}
void NotifyDownloadFileEnd(HWND window, int index, bool success) {
  Send(window, g_ids.DownloadFileEnd, static_cast<WPARAM>(index), success ? 1 : 0);
}
void NotifyDownloadComplete(HWND window, bool success) { Send(window, g_ids.DownloadComplete, success ? 1 : 0); }
void NotifyDownLoadTimeOut(HWND window, HANDLE workerThread) {
  Send(window, g_ids.DownLoadTimeOut, reinterpret_cast<WPARAM>(workerThread));
}
void NotifyDownLoadTryAgain(HWND window, int attempt) {
  Send(window, g_ids.DownLoadTryAgain, static_cast<WPARAM>(attempt));
}
void NotifyApplyComplete(HWND window, const ApplyReport& report) {
  Send(window, g_ids.ApplyComplete, 0, reinterpret_cast<LPARAM>(&report));
}

}  // namespace engine
