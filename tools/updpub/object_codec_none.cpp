#include "updpub/object_codec.h"

namespace updpub {
namespace {

constexpr char kNoCodec[] = "this build of updpub has no zstd";

}  // namespace

bool PackingAvailable() { return false; }

bool EncodeObject(std::string_view, std::string_view, int, std::string&, std::string& error) {
  error = kNoCodec;
  return false;
}

struct ObjectDecoder::State {};

ObjectDecoder::ObjectDecoder(std::string_view, Sink) {}
ObjectDecoder::~ObjectDecoder() = default;
bool ObjectDecoder::Feed(const char*, size_t) { return false; }
bool ObjectDecoder::Finish(std::string& error) {
  error = kNoCodec;
  return false;
}

}  // namespace updpub
