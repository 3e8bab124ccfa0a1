#include "engine/config_worker_win.h"

#include <ctime>
#include <string_view>

#include "base/trace.h"
#include "engine/session.h"
#include "engine/worker_messages_win.h"
#include "site/document_fetch_win.h"
#include "site/signed_documents.h"
#include "site/signing.h"
#include "site/update_config.h"
#include "xml/xml_document.h"

namespace engine {
namespace {

constexpr char kBadSignatureTrace[] = "配置信息签名无效:";
constexpr char kExpiredTrace[] = "配置信息已过期:";
constexpr char kOlderVersionTrace[] = "配置信息版本低于本地版本:";

bool FetchConfig(Session& session, xml::XmlDocument& document) {
  const net::HttpGetResult response = FetchDocument(session.ConfigAddress);
  if (!response.ok) return false;
  const DocumentVerifier* verifier = SigningVerifier();
  // Nothing of the document is read before its bytes are known to be the
  // vendor's, so a changed byte is told as such even where it breaks it.
  if (verifier && !SignedBySender(*verifier, session.ConfigAddress, response, kBadSignatureTrace)) {
    session.ConfigRefusal = SignedRefusal::kBadSignature;
    return false;
  }
  document.LoadFromBytes(BytesOf(response));
  if (!IsUpdateConfig(document)) return false;
  if (verifier) {
    const std::optional<int64_t> expires = ReadExpires(document);
    if (ConfigExpired(expires, static_cast<int64_t>(std::time(nullptr)))) {
      base::Trace(kExpiredTrace + std::to_string(expires.value_or(0)));
      session.ConfigRefusal = SignedRefusal::kExpired;
      return false;
    }
  }
  return true;
}

// Parsed over the command line's values, so in test mode the forced target
// version is the one weighed against the installed one.
bool TakeConfig(Session& session, const xml::XmlDocument& document) {
  ParseConfig(document, session.Config);
  if (SigningVerifier() && BelowInstalledVersion(session.Config)) {
    base::Trace(kOlderVersionTrace + session.Config.Version + " < " + session.Config.LocalVersion);
    session.ConfigRefusal = SignedRefusal::kOlderVersion;
    return false;
  }
  return true;
}

DWORD RunConfigWorker(HWND window) {
  base::Trace("线程_获取配置 启动");
  Session& session = CurrentSession();
  xml::XmlDocument document;
  // The session is written before the synchronous report, which is what
  // makes it safe for the window to read it in the handler.
  const bool success = FetchConfig(session, document) && TakeConfig(session, document);
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
