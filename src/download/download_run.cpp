#include "download/download_run.h"

#include <string>
#include <vector>

#include "download/form_choice.h"
#include "download/place_object.h"
#include "download/receive_object.h"
#include "download/run_state.h"
#include "files/file_system.h"
#include "files/real_folders.h"
#include "net/url_encoding.h"
#include "site/listed_names.h"

namespace engine {
namespace {

constexpr char kFetchTrace[] = "下载文件:";
constexpr char kFolderNotMadeTrace[] = "无法建立目录:";

// One run over the list, as the steps it takes. Its ports refuse every call
// once a stop is requested (download/stoppable_ports.h): nothing more is
// asked of the server, the disk or the window, and the staging file and the
// buffer are released on the way out. The run asks for a stop only where
// it decides whether to go on.
class Run {
 public:
  Run(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
      DownloadNotifier& notify, DownloadControl& control)
      : run_(job, http, fs, clock, notify, control) {}

  void AllFiles() {
    const Outcome outcome = StagingFolderReady() ? EveryFile() : Outcome::kFailed;
    if (outcome == Outcome::kStopped || run_.Stopped()) return;
    const bool success = outcome == Outcome::kFetched;
    if (!run_.control.ClaimEnd(success ? RunEnd::kCompleted : RunEnd::kFailed)) return;
    run_.notify.Complete(success);
  }

 private:
  // The staging folder as a real folder of its own, never written through a
  // link that stands in its place.
  bool StagingFolderReady() {
    const std::string& staging = run_.stagingFolder;
    if (run_.fs.IsLink(staging)) {
      run_.notify.Trace(kStagingLinkTrace + staging);
      return false;
    }
    // The folders below it are the updater's own: a link there is removed,
    // and one that stays, like a folder that cannot be made, ends the run.
    run_.fs.MakeFolders(staging);
    if (files::MakeRealFolders(run_.fs, staging, staging + kPartialFolder)) return true;
    run_.notify.Trace(kFolderNotMadeTrace + staging + kPartialFolder);
    return false;
  }

  Outcome EveryFile() {
    for (size_t i = 0; i < run_.job.files.size(); ++i) {
      const Outcome outcome = OneFile(static_cast<int>(i) + 1, run_.job.files[i]);
      if (outcome != Outcome::kFetched) return outcome;  // later files are not tried
    }
    return Outcome::kFetched;
  }

  Outcome OneFile(int index, const FileEntry& file) {
    if (!IsPlaceableName(file.Name)) {
      // The list reader leaves these out; a job is never trusted to have.
      run_.notify.Trace((IsInStagingFolder(file.Name) ? kInStagingFolderTrace : kLeavingFolderTrace) + file.Name);
      return Outcome::kFetched;
    }
    run_.notify.FileStart(index);
    run_.notify.Trace(kFetchTrace + net::FileUrl(run_.job.serverAddr, run_.job.version, file.Name));
    const std::string staging = run_.stagingFolder + file.Name;

    // A staged copy is read, and a new one written, only in folders of the
    // updater's own making, never through a link.
    const std::string folder = FolderOfEntry(run_.stagingFolder, file.Name);
    if (!files::MakeRealFolders(run_.fs, run_.stagingFolder, folder)) {
      run_.notify.Trace(kFolderNotMadeTrace + folder);
      return run_.EndFile(index, false);
    }
    // Staged by an earlier run that did not get to apply it.
    if (StagedMatches(run_, staging, file)) return run_.EndFile(index, true);

    const std::vector<ObjectToTry> forms = FormsFor(run_, file);
    size_t next = 0;  // the next form down the order
    Outcome outcome = Outcome::kFailed;
    for (int attempt = 1; attempt <= kAttemptsPerFile && outcome == Outcome::kFailed; ++attempt) {
      outcome = Attempt(index, file, attempt, forms, next, staging);
    }
    return outcome;
  }

  Outcome Attempt(int index, const FileEntry& file, int attempt, const std::vector<ObjectToTry>& forms,
                  size_t& next, const std::string& staging) {
    // The start tick is taken before the pauses, so a retry's elapsed time
    // includes them.
    run_.progress = TransferProgress{};
    run_.progress.StartTick = run_.clock.Now();
    if (attempt >= 2) {
      if (!run_.Pause(kPauseBeforeTryAgainMs)) return Outcome::kStopped;
      run_.notify.TryAgain(attempt);
      if (!run_.Pause(kPauseAfterTryAgainMs)) return Outcome::kStopped;
    }
    Outcome outcome = Outcome::kNoMemory;
    // A form that cannot be decoded in the memory there is is passed over for
    // the next in the same attempt, as a base that does not fit is; the plain
    // file, never decoded, ends that at the latest.
    while (outcome == Outcome::kNoMemory) outcome = OneForm(index, file, attempt, forms, next, staging);
    return outcome;
  }

  // The attempt's request for the next form down the order, or the plain file.
  Outcome OneForm(int index, const FileEntry& file, int attempt, const std::vector<ObjectToTry>& forms,
                  size_t& next, const std::string& staging) {
    // Nothing of an earlier attempt's bytes may precede this one's.
    run_.buffer.clear();
    run_.progress.Received = run_.progress.Total = 0;
    const ObjectToTry& form = TakeForm(run_, file, forms, next, attempt);
    const std::string url = FormUrl(run_, form);
    const PartialPaths partial = PartialPathsOf(run_.stagingFolder, url);
    const Outcome received = ReceiveObject(run_, index, file, form, url, partial);
    run_.http.Close();  // an answer refused unread must not go on arriving
    if (received != Outcome::kFetched) {
      run_.ReleaseSpace();
      return run_.EndFile(index, false);
    }
    return PlaceObject(run_, index, file, form, partial, staging);
  }

  RunState run_;
};

}  // namespace

void RunDownload(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
                 DownloadNotifier& notify, DownloadControl& control) {
  Run(job, http, fs, clock, notify, control).AllFiles();
}

}  // namespace engine
