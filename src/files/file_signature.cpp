#include "files/file_signature.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <thread>

#include "digests/crc32.h"
#include "digests/sha256.h"
#include "files/file_reader.h"
#include "files/file_signature_internal.h"
#include "files/wait_point.h"

namespace files {
namespace {

using signature_internal::ReadFunction;

constexpr size_t kPageSize = 4096;

// Files up to this size are read and summed on the calling thread alone:
// most files are small, and a thread would cost more than it saves. A larger
// file is read from its start and its middle at once.
constexpr uint64_t kOverlapAfter = uint64_t{16} << 20;

// Pieces in flight between the reading thread and the CRC: one being read,
// one being summed, one spare so that neither waits on the other's hiccups.
constexpr size_t kRingSize = 3;

constexpr uint64_t kNoLimit = UINT64_MAX;

unsigned char* PageAligned(unsigned char* p) {
  const uintptr_t address = reinterpret_cast<uintptr_t>(p);
  return p + ((kPageSize - address % kPageSize) % kPageSize);
}

// `count` chunk-sized buffers in one allocation, starting on a page boundary
// as the cached pages of the file do: some CPUs copy several times slower
// into a destination that is not aligned like its source. Null when memory is
// short; the file is then still read, in smaller pieces.
class PageAlignedBuffers {
 public:
  explicit PageAlignedBuffers(size_t count)
      : heap_(new (std::nothrow) unsigned char[count * kSignatureChunkSize + kPageSize]) {}
  unsigned char* data() const { return heap_ ? PageAligned(heap_.get()) : nullptr; }

 private:
  std::unique_ptr<unsigned char[]> heap_;
};

enum class Progress { kEnd, kFailed, kMore };

// The CRC, and the SHA-256 when one is asked for, continued over a piece: both
// in the same pass, so the signed check reads each file once.
bool Sum(const unsigned char* piece, size_t count, uint32_t* crc, Sha256* sha) {
  *crc = Crc32Update(*crc, piece, count);
  return !sha || sha->Update(piece, count);
}

// Reads and sums on this thread until the end, a failed read, or more than
// `limit` bytes (kMore: the rest is still to be read).
Progress CrcHere(const ReadFunction& read, unsigned char* buffer, size_t capacity, uint64_t limit,
                 uint32_t* crc, Sha256* sha) {
  uint64_t total = 0;
  size_t count = 0;
  while (total <= limit) {
    if (!read(buffer, capacity, &count)) return Progress::kFailed;
    if (count == 0) return Progress::kEnd;
    if (!Sum(buffer, count, crc, sha)) return Progress::kFailed;
    total += count;
  }
  return Progress::kMore;
}

// Reading a cached file runs at well under half the speed of our CRC, yet
// one after the other the CRC still adds some 40 % to the time. So past the
// first pieces a file is read on a second thread into a ring of buffers while
// this thread sums the pieces already read, and the CRC hides behind the
// reading.
//
// Piece k goes to buffer k % kRingSize. The reader fills it once the CRC has
// released piece k - kRingSize; the CRC sums it once the reader has
// published it. Each buffer belongs to one side at a time.
class ReadAhead {
 public:
  ReadAhead(const ReadFunction& read, unsigned char* buffers, size_t capacity)
      : read_(read), buffers_(buffers), capacity_(capacity) {}
  ~ReadAhead() {
    if (reader_.joinable()) reader_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // False when no thread could be started; nothing has been read then.
  bool Start() {
    try {
      reader_ = std::thread(&ReadAhead::ReadPieces, this);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  }

  // Continues `*crc` (and `sha`) over every piece to the end; false when a
  // read or the hash failed.
  bool Finish(uint32_t* crc, Sha256* sha) {
    bool summed = true;
    for (uint64_t piece = 0;; ++piece) {
      Await([&] { return piece < published_ || state_ != kReading; });
      if (state_ == kFailed || piece == published_) break;
      // After a failed hash the pieces are still released, so that the
      // reader never waits for a buffer that nobody gives back.
      if (summed) summed = Sum(Buffer(piece), counts_[piece % kRingSize], crc, sha);
      released_ = piece + 1;  // hands the buffer back to the reader
      Notify();
    }
    reader_.join();  // the reader stops by itself after its last piece
    return summed && state_ != kFailed;
  }

 private:
  enum State { kReading, kEnded, kFailed };

  unsigned char* Buffer(uint64_t piece) const {
    return buffers_ + static_cast<size_t>(piece % kRingSize) * capacity_;
  }

  // The thread's entry: nothing thrown leaves it, a failure is published.
  void ReadPieces() noexcept {
    State last = kFailed;
    try {
      for (uint64_t piece = 0;; ++piece) {
        Await([&] { return piece - released_ < kRingSize; });
        size_t count = 0;
        if (!read_(Buffer(piece), capacity_, &count)) break;
        if (count == 0) {
          last = kEnded;
          break;
        }
        counts_[piece % kRingSize] = count;
        published_ = piece + 1;  // hands the buffer to the CRC
        Notify();
      }
    } catch (...) {
      // Published as a failed read below.
    }
    state_ = last;
    Notify();
  }

  // The reader sleeps only while the ring is full and the CRC only while it
  // is empty, so they never sleep at once and each change wakes the other.
  void Await(const std::function<bool()>& ready) {
    if (!ready()) changes_.Wait(ready);
  }
  void Notify() { changes_.Notify(); }

  const ReadFunction& read_;
  unsigned char* const buffers_;
  const size_t capacity_;
  std::thread reader_;

  size_t counts_[kRingSize] = {};
  std::atomic<uint64_t> published_{0};  // pieces the CRC may sum
  std::atomic<uint64_t> released_{0};   // pieces whose buffers may be filled again
  std::atomic<State> state_{kReading};
  WaitPoint changes_;
};

// Sums `read` to its end, or to `limit` bytes, into `*crc`, counting the
// bytes in `*total`. False when a read failed or the source ended before
// `limit`.
bool CrcOfRange(const ReadFunction& read, unsigned char* buffer, uint64_t limit, uint32_t* crc,
                uint64_t* total) {
  *crc = 0;
  *total = 0;
  while (*total < limit) {
    const uint64_t left = limit - *total;
    size_t count = 0;
    if (!read(buffer, left < kSignatureChunkSize ? static_cast<size_t>(left) : kSignatureChunkSize, &count))
      return false;
    if (count == 0) return limit == kNoLimit;
    *crc = Crc32Update(*crc, buffer, count);
    *total += count;
  }
  return true;
}

std::string UpperHex(uint32_t value) {
  char digits[8];
  size_t length = 0;
  do {
    digits[length++] = "0123456789ABCDEF"[value & 0xFu];
    value >>= 4;
  } while (value != 0);
  return std::string(std::make_reverse_iterator(digits + length),
                     std::make_reverse_iterator(digits));
}

}  // namespace

namespace signature_internal {

bool PiecesCrc(const ReadFunction& read, uint64_t overlapAfter, uint32_t* crc) {
  return PiecesDigest(read, overlapAfter, crc, nullptr);
}

bool PiecesDigest(const ReadFunction& read, uint64_t overlapAfter, uint32_t* crc, Sha256* sha) {
  *crc = 0;
  // Most files end within the first buffer; the ring for the reading thread
  // is only allocated for a file that goes on past the overlap size. The
  // first buffer is kept per thread: the system touches every page of a
  // fresh buffer on the first read into it, which for thousands of small
  // files costs several times the reading itself.
  thread_local PageAlignedBuffers first(1);
  if (!first.data()) {
    alignas(64) unsigned char fallback[4096];
    return CrcHere(read, fallback, sizeof fallback, kNoLimit, crc, sha) == Progress::kEnd;
  }
  const Progress progress = CrcHere(read, first.data(), kSignatureChunkSize, overlapAfter, crc, sha);
  if (progress != Progress::kMore) return progress == Progress::kEnd;

  PageAlignedBuffers ring(kRingSize);
  ReadAhead ahead(read, ring.data(), kSignatureChunkSize);
  if (!ring.data() || !ahead.Start()) {
    return CrcHere(read, first.data(), kSignatureChunkSize, kNoLimit, crc, sha) == Progress::kEnd;
  }
  return ahead.Finish(crc, sha);
}

bool SplitCrc(const ReadFunction& front, uint64_t frontBytes, const ReadFunction& back, uint32_t* crc) {
  thread_local PageAlignedBuffers first(1);
  PageAlignedBuffers second(1);
  if (!first.data() || !second.data()) return false;
  uint32_t backCrc = 0;
  uint64_t backBytes = 0;
  bool backRead = false;
  const auto readBack = [&]() noexcept {
    try {
      backRead = CrcOfRange(back, second.data(), kNoLimit, &backCrc, &backBytes);
    } catch (...) {
      backRead = false;  // the caller reads the file again
    }
  };
  std::thread backThread;
  try {
    backThread = std::thread(readBack);
  } catch (const std::exception&) {
    readBack();  // no thread: one part after the other
  }
  uint32_t frontCrc = 0;
  uint64_t frontRead = 0;
  const bool frontWhole = CrcOfRange(front, first.data(), frontBytes, &frontCrc, &frontRead);
  if (backThread.joinable()) backThread.join();
  if (!frontWhole || !backRead) return false;
  *crc = Crc32Combine(frontCrc, backCrc, backBytes);
  return true;
}

}  // namespace signature_internal

std::string FileSignature(const std::string& path, const ReadActivity& onRead) {
  if (!PathExists(path)) return "";
  // An unreadable file gives the CRC of no bytes, so it looks like an empty
  // one and is fetched again.
  FileReader reader(path);
  if (!reader.IsOpen()) return "0";
  const auto reading = [&onRead](FileReader& from) {
    return [&from, &onRead](void* buffer, size_t capacity, size_t* count) {
      const bool read = from.Read(buffer, capacity, count);
      if (onRead) onRead();
      return read;
    };
  };
  uint32_t crc = 0;
  // A large file is read from its start and its middle at once.
  uint64_t size = 0;
  if (reader.Size(&size) && size > kOverlapAfter) {
    const uint64_t half = size / 2 / kSignatureChunkSize * kSignatureChunkSize;
    FileReader back(path);
    if (back.IsOpen() && back.SkipTo(half)) {
      if (signature_internal::SplitCrc(reading(reader), half, reading(back), &crc)) return UpperHex(crc);
      // A failed read, or a file that shrank meanwhile: read it once more as it is now.
      reader = FileReader(path);
      if (!reader.IsOpen()) return "0";
    }
  }
  return UpperHex(signature_internal::PiecesCrc(reading(reader), kOverlapAfter, &crc) ? crc : 0);
}

FileDigest FileSignatureAndSha256(const std::string& path, Sha256& sha, const ReadActivity& onRead) {
  if (!PathExists(path)) return {};
  FileReader reader(path);
  if (!reader.IsOpen()) return {"0", ""};
  const ReadFunction read = [&reader, &onRead](void* buffer, size_t capacity, size_t* count) {
    const bool done = reader.Read(buffer, capacity, count);
    if (onRead) onRead();
    return done;
  };
  uint32_t crc = 0;
  Sha256Digest digest{};
  if (!signature_internal::PiecesDigest(read, kOverlapAfter, &crc, &sha) || !sha.Finish(&digest)) {
    return {"0", ""};
  }
  return {UpperHex(crc), Sha256Hex(digest)};
}

}  // namespace files
