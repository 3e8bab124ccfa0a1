#include "base/gbk_text.h"

namespace base {

bool HoldsInGbk(std::string_view utf8) { return Utf8FromGbk(GbkFromUtf8(utf8)) == utf8; }

}  // namespace base
