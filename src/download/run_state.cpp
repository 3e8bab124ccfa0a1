#include "download/run_state.h"

#include "site/listed_names.h"

namespace engine {

RunState::RunState(const DownloadJob& theJob, HttpSource& realHttp, files::FileSystem& realFs, Clock& realClock,
                   DownloadNotifier& realNotify, DownloadControl& theControl)
    : job(theJob),
      control(theControl),
      http(realHttp, theControl),
      fs(realFs, theControl),
      clock(realClock, theControl),
      notify(realNotify, theControl),
      stagingFolder(theJob.programFolder + kStagingFolderName),
      touch([this] { Touch(); }) {
  // Room for the write threshold plus the read that crosses it; allocated
  // once, whatever the size of the files.
  buffer.reserve(kWriteThreshold + kReadSize);
}

bool RunState::Pause(uint32_t ms) {
  clock.Sleep(ms);
  return !Stopped();
}

Outcome RunState::EndFile(int index, bool success) {
  if (Stopped()) return Outcome::kStopped;
  notify.FileEnd(index, success);
  return success ? Outcome::kFetched : Outcome::kFailed;
}

}  // namespace engine
