#pragma once
// What a compressed form is decoded in, taken before the form is asked for:
// a delta's base mapped read-only, and the decoded file and a code delta's
// prediction as files of the new file's size in the partial folder, mapped
// writable. The pages come and go through the files, so a file of any size
// costs address space, not committed memory; the address space of a 32-bit
// process is the budget, and a form that does not fit it is passed over.
// A delta in segments has its base and its decoded file opened for mapping
// instead, one segment's regions in view at a time.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "codecs/code_delta_decoder.h"
#include "codecs/segmented_delta.h"
#include "files/file_system.h"

namespace engine {

class DecodeSpace final : public files::PredictionSpace, public files::SegmentViews {
 public:
  // The base's bytes; empty for a packed object.
  std::string_view Base() const {
    return base ? std::string_view(base->Data(), static_cast<size_t>(base->Size())) : std::string_view();
  }
  // The decoded file's memory; null where it goes through a sink instead.
  char* Output() const { return output ? output->Data() : nullptr; }
  // The prediction's view, mapped beforehand at the size the list gives.
  char* Obtain(uint64_t size) override;

  uint64_t BaseSize() const override { return baseFile ? baseFile->Size() : 0; }
  bool MapSegment(files::Region baseRegion, files::Region outputRegion, std::string_view& baseView,
                  char*& outputView) override;

  // Unmaps the decoded file, so that it can be read, moved or removed.
  void CloseOutput();
  // Unmaps everything and removes the scratch files that are still there.
  void Release(files::FileSystem& fs);

  std::unique_ptr<files::MappedFile> base;
  uint32_t baseCrc = 0;  // as computed over the view
  std::unique_ptr<files::MappedFile> output;
  std::string outputPath;
  std::unique_ptr<files::MappedFile> prediction;
  std::string predictionPath;
  std::unique_ptr<files::MappableFile> baseFile;
  std::unique_ptr<files::MappableFile> outputFile;
  std::unique_ptr<files::MappedFile> segmentBase;
  std::unique_ptr<files::MappedFile> segmentOutput;
};

}  // namespace engine
