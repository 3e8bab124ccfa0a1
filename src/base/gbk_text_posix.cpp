#include "base/gbk_text.h"

#include <iconv.h>

#include <cerrno>
#include <vector>

namespace base {
namespace {

class IconvHandle {
 public:
  IconvHandle(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~IconvHandle() {
    if (valid()) iconv_close(handle_);
  }
  IconvHandle(const IconvHandle&) = delete;
  IconvHandle& operator=(const IconvHandle&) = delete;
  bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const { return handle_; }

 private:
  iconv_t handle_;
};

std::string Convert(std::string_view text, const char* to, const char* from) {
  if (text.empty()) return {};
  IconvHandle cd(to, from);
  if (!cd.valid()) return {};
  std::string input(text);
  // UTF-8 needs at most 3 bytes per GBK byte pair and GBK at most 2 per UTF-8 byte.
  std::vector<char> output(text.size() * 2 + 4);
  char* in = input.data();
  size_t inLeft = input.size();
  char* out = output.data();
  size_t outLeft = output.size();
  if (iconv(cd.get(), &in, &inLeft, &out, &outLeft) == static_cast<size_t>(-1)) return {};
  return std::string(output.data(), output.size() - outLeft);
}

}  // namespace

std::string Utf8FromGbk(std::string_view gbk) { return Convert(gbk, "UTF-8", "CP936"); }
std::string GbkFromUtf8(std::string_view utf8) { return Convert(utf8, "CP936", "UTF-8"); }

}  // namespace base
