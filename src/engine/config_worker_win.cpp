#include "engine/config_worker_win.h"

#include "base/trace.h"
#include "engine/session.h"
#include "engine/update_config.h"
#include "engine/worker_messages_win.h"
#include "net/automation_http_win.h"
#include "base/scoped_com_win.h"
#include "xml/xml_document.h"

namespace engine {
namespace {

bool FetchConfig(const std::string& address, xml::XmlDocument& document) {
  net::HttpGetResult response;
  {
    base::ScopedCom com;
    response = net::AutomationHttpGet(address);
  }
  if (!response.ok) return false;
  document.LoadFromBytes(reinterpret_cast<const char*>(response.body.data()), response.body.size());
  return IsUpdateConfig(document);
}

DWORD RunConfigWorker(HWND window) {
  base::Trace("线程_获取配置 启动");
  Session& session = CurrentSession();
  xml::XmlDocument document;
  // The session is written before the synchronous report, which is what
  // makes it safe for the window to read it in the handler.
  const bool success = FetchConfig(session.ConfigAddress, document);
  if (success) ParseConfig(document, session.Config);
  NotifyGetConfig(window, success);
  return 0;
}

}  // namespace

DWORD WINAPI ConfigWorker(LPVOID mainWindow) {
  try {
    return RunConfigWorker(static_cast<HWND>(mainWindow));
  } catch (...) {
    // Out of memory is the only thing that can throw here; report a failure.
    NotifyGetConfig(static_cast<HWND>(mainWindow), false);
    return 1;
  }
}

}  // namespace engine
