#pragma once
// The reading loop behind FileSignature, open to tests with any source of
// pieces.
#include <cstddef>
#include <cstdint>
#include <functional>

namespace files {
class Sha256;
}

namespace files::signature_internal {

// Reads up to `capacity` bytes into `buffer`, stores the count in `*count`
// (0 at the end) and tells whether the read worked, as FileReader::Read does.
using ReadFunction = std::function<bool(void* buffer, size_t capacity, size_t* count)>;

// Stores in `*crc` the CRC-32 of every piece `read` gives until its end.
// False, with `*crc` meaningless, when a read fails. Once more than
// `overlapAfter` bytes have been read, the rest is read on a second thread;
// until then, and for a source no longer than that, every read happens on the
// calling thread.
bool PiecesCrc(const ReadFunction& read, uint64_t overlapAfter, uint32_t* crc);

// PiecesCrc that also feeds every piece, in order and in the same pass, to
// `sha` when it is not null. False when a read or the hash failed.
bool PiecesDigest(const ReadFunction& read, uint64_t overlapAfter, uint32_t* crc, Sha256* sha);

// The CRC-32 of a source read from two places at once: `front` gives its
// first `frontBytes` bytes, `back` (on a second thread) the rest to the end.
// Each thread sums what it reads while it is still in its own cache, which a
// hand-over between a reading and a summing thread cannot do. False when a
// read failed or `front` ended early (the file shrank); the caller then
// reads the file again in one piece.
bool SplitCrc(const ReadFunction& front, uint64_t frontBytes, const ReadFunction& back, uint32_t* crc);

}  // namespace files::signature_internal
