#include "download/decode_space.h"

namespace engine {

char* DecodeSpace::Obtain(uint64_t size) {
  return prediction && prediction->Size() == size ? prediction->Data() : nullptr;
}

bool DecodeSpace::MapSegment(files::Region baseRegion, files::Region outputRegion, std::string_view& baseView,
                             char*& outputView) {
  // The last segment's views go first: two at once may not fit.
  segmentBase.reset();
  segmentOutput.reset();
  if (!baseFile || !outputFile) return false;
  segmentBase = baseFile->MapRegion(baseRegion.offset, baseRegion.length);
  segmentOutput = outputFile->MapRegion(outputRegion.offset, outputRegion.length);
  if (!segmentBase || !segmentOutput || segmentOutput->Size() != outputRegion.length) return false;
  baseView = std::string_view(segmentBase->Data(), static_cast<size_t>(segmentBase->Size()));
  outputView = segmentOutput->Data();
  return true;
}

void DecodeSpace::CloseOutput() {
  segmentOutput.reset();
  segmentBase.reset();
  output.reset();
  outputFile.reset();
}

// The views go first: a mapped file cannot be removed.
void DecodeSpace::Release(files::FileSystem& fs) {
  CloseOutput();
  base.reset();
  baseFile.reset();
  prediction.reset();
  baseCrc = 0;
  for (std::string* path : {&outputPath, &predictionPath}) {
    if (!path->empty()) fs.RemoveFile(*path);
    path->clear();
  }
}

}  // namespace engine
