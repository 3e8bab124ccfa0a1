#include "download/decode_space.h"

namespace engine {

char* DecodeSpace::Obtain(uint64_t size) {
  return prediction && prediction->Size() == size ? prediction->Data() : nullptr;
}

// The views go first: a mapped file cannot be removed.
void DecodeSpace::Release(files::FileSystem& fs) {
  base.reset();
  output.reset();
  prediction.reset();
  baseCrc = 0;
  for (std::string* path : {&outputPath, &predictionPath}) {
    if (!path->empty()) fs.RemoveFile(*path);
    path->clear();
  }
}

}  // namespace engine
