#pragma once
// The process-wide state of one updater run. Written by start-up and by a
// worker before it reports (the report is a synchronous send), so readers on
// the user-interface thread never see a half-filled record; no lock is needed.
// It is never destroyed: the process ends without running its destructors,
// so a worker still running at exit never meets freed state.
#include <string>
#include <vector>

#include "site/file_list.h"
#include "site/signed_documents.h"
#include "site/update_config.h"
#include "xml/xml_document.h"

namespace engine {

struct Session {
  std::string ConfigAddress;
  std::string ProgramFolder;  // ends in a backslash
  // False when the folder's name holds characters GBK has no form for: its
  // GBK text then names another folder, and the update must not start.
  bool ProgramFolderHeldInGbk = true;
  std::string ParentPath;
  UpdateConfig Config;
  int SelectedServer = 0;  // 1-based position in Config.Servers
  // Why a signed document was refused; each written by its worker before it
  // reports a failure.
  SignedRefusal ConfigRefusal = SignedRefusal::kNone;
  SignedRefusal FileListRefusal = SignedRefusal::kNone;

  // Loaded by the file-list worker before it reports; read on the
  // user-interface thread afterwards.
  xml::XmlDocument FileListDocument;
  // Rebuilt by every difference step; the download worker reads its own copy.
  std::vector<FileEntry> ServerFileList;
  std::vector<FileEntry> DownloadList;

  bool SelfUpdatePending = false;  // read at shutdown
  bool UpdateApplied = false;
};

Session& CurrentSession();

}  // namespace engine
