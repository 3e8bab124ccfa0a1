#pragma once
// What one download run holds while it goes down the list: the job, its
// ports (each behind the stop layer of download/stoppable_ports.h, so no
// step reaches the world after a stop) and the buffers its steps share.
#include <cstdint>
#include <string>
#include <vector>

#include "download/decode_space.h"
#include "download/download_run.h"
#include "download/stoppable_ports.h"
#include "files/file_signature.h"

namespace engine {

// How a file, or one attempt at it, ended. kNoMemory: an object could not
// be decoded in the memory there is; the attempt goes on with the next form.
enum class Outcome { kFetched, kFailed, kStopped, kNoMemory };

// A received object, and a delta's base, are read in pieces of this size.
inline constexpr size_t kDecodeReadSize = size_t{64} << 10;

class RunState {
 public:
  RunState(const DownloadJob& job, HttpSource& http, files::FileSystem& fs, Clock& clock,
           DownloadNotifier& notify, DownloadControl& control);

  // Stopped by the watchdog, or its time-out claimed before the stop is set.
  // The steps ask only where they decide whether to go on; the ports refuse
  // by themselves.
  bool Stopped() const { return StopRequested(control); }
  // Local work that goes on (a read, a decoded piece, a hashed piece) is
  // activity as much as bytes that arrive: the watchdog ends only a transfer
  // that brings nothing.
  void Touch() { control.lastActivityTick = clock.Now(); }
  // False when a stop was requested before or during the pause.
  bool Pause(uint32_t ms);
  // The file's end, reported unless the run was stopped.
  Outcome EndFile(int index, bool success);
  // Gives the mapped files' address space back, which a later form may
  // need, and removes the scratch files.
  void ReleaseSpace() { space.Release(fs); }

  const DownloadJob& job;
  DownloadControl& control;
  StoppableHttp http;
  StoppableFileSystem fs;
  StoppableClock clock;
  StoppableNotifier notify;
  const std::string stagingFolder;
  const files::ReadActivity touch;
  std::vector<char> buffer;  // received (or decoded) bytes not yet written
  std::vector<char> wire = std::vector<char>(kDecodeReadSize);  // an object's bytes read back
  DecodeSpace space;         // a compressed form's, from its preparation until its file is done
  std::string head;          // an object's first bytes until its head is checked
  bool decoderTraced = false;
  uint32_t lastWriteTick = 0;
  TransferProgress progress;
};

}  // namespace engine
