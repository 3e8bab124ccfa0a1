#include "engine/file_list_worker_win.h"

#include <string>

#include "base/trace.h"
#include "engine/file_list.h"
#include "engine/session.h"
#include "engine/worker_messages_win.h"
#include "net/automation_http_win.h"
#include "base/scoped_com_win.h"

namespace engine {
namespace {

constexpr char kStartTrace[] = "线程_获取文件列表 启动";
constexpr char kAddressTrace[] = "文件列表地址:";
constexpr char kListFileName[] = "/filelist.xml";
constexpr char kListRoot[] = "Files";

std::string FileListAddress(const Session& session) {
  const int server = session.SelectedServer;
  if (server < 1 || server > session.Config.ServerCount) return {};
  return session.Config.Servers[server - 1].Addr + session.Config.Version + kListFileName;
}

bool FetchFileList(Session& session) {
  const std::string address = FileListAddress(session);
  base::Trace(kAddressTrace + address);
  if (address.empty()) return false;
  net::HttpGetResult response;
  {
    base::ScopedCom com;
    response = net::AutomationHttpGet(address);
  }
  if (!response.ok) return false;
  const std::string text = TrimListText(
      std::string_view(reinterpret_cast<const char*>(response.body.data()), response.body.size()));
  if (text.empty()) return false;
  // A list that does not load, or is not a file list, is a failure: taken
  // as an empty list it would end in "update complete" with nothing checked.
  return session.FileListDocument.LoadFromBytes(text) && session.FileListDocument.RootName() == kListRoot;
}

}  // namespace

DWORD WINAPI FileListWorker(LPVOID mainWindow) {
  const HWND window = static_cast<HWND>(mainWindow);
  bool success = false;
  try {
    base::Trace(kStartTrace);
    success = FetchFileList(CurrentSession());
  } catch (...) {
    // Out of memory is the only thing that can throw here; report a failure.
  }
  NotifyGetInfo(window, success);
  return 0;
}

}  // namespace engine
