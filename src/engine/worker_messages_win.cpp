#include "engine/worker_messages_win.h"

namespace engine {
namespace {

WorkerMessageIds g_ids;

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
}

const WorkerMessageIds& MessageIds() { return g_ids; }

void NotifyGetConfig(HWND window, bool success) {
  SendMessageW(window, g_ids.GetConfig, success ? 1 : 0, 0);
}

}  // namespace engine
