#include "engine/file_list_worker_win.h"

#include <string>

#include "base/trace.h"
#include "engine/session.h"
#include "engine/worker_messages_win.h"
#include "site/document_fetch_win.h"
#include "site/file_list.h"
#include "site/signed_documents.h"
#include "site/signing.h"

namespace engine {
namespace {

constexpr char kStartTrace[] = "线程_获取文件列表 启动";
constexpr char kAddressTrace[] = "文件列表地址:";
constexpr char kListFileName[] = "/filelist.xml";
constexpr char kListRoot[] = "Files";
constexpr char kBadSignatureTrace[] = "文件列表签名无效:";
constexpr char kWrongListTrace[] = "文件列表与配置不符:";

std::string FileListAddress(const Session& session) {
  const int server = session.SelectedServer;
  if (server < 1 || server > session.Config.ServerCount) return {};
  return session.Config.Servers[server - 1].Addr + session.Config.Version + kListFileName;
}

bool FetchFileList(Session& session) {
  const std::string address = FileListAddress(session);
  base::Trace(kAddressTrace + address);
  if (address.empty()) return false;
  const net::HttpGetResult response = FetchDocument(address);
  if (!response.ok) return false;
  const DocumentVerifier* verifier = SigningVerifier();
  if (verifier && !SignedBySender(*verifier, address, response, kBadSignatureTrace)) {
    session.FileListRefusal = SignedRefusal::kBadSignature;
    session.FileListDocument.Release();
    return false;
  }
  const std::string text = TrimListText(BytesOf(response));
  if (text.empty()) return false;
  // A list that does not load, or is not a file list, is a failure: taken
  // as an empty list it would end in "update complete" with nothing checked.
  if (!session.FileListDocument.LoadFromBytes(text) || session.FileListDocument.RootName() != kListRoot) {
    return false;
  }
  // A genuine list of another release or application, served in this one's
  // place, would install the wrong files.
  if (verifier) {
    const ListIdentity identity = ReadListIdentity(session.FileListDocument);
    if (!ListBelongsTo(identity, session.Config)) {
      base::Trace(kWrongListTrace + identity.Version + " " + identity.SoftName);
      session.FileListRefusal = SignedRefusal::kWrongList;
      session.FileListDocument.Release();
      return false;
    }
  }
  return true;
}

}  // namespace

DWORD WINAPI FileListWorker(LPVOID mainWindow) {
  const HWND window = static_cast<HWND>(mainWindow);
  bool success = false;
  try {
    base::Trace(kStartTrace);
    Session& session = CurrentSession();
    // A check from page 3 again after Previous starts afresh.
    session.FileListRefusal = SignedRefusal::kNone;
    success = FetchFileList(session);
  } catch (...) {
    // Out of memory is the only thing that can throw here; report a failure.
  }
  NotifyGetInfo(window, success);
  return 0;
}

}  // namespace engine
