#include "files/system_path_win.h"

#include "base/wide_text_win.h"
#include "files/long_path.h"

namespace files {

std::wstring SystemPath(std::string_view gbkPath) { return LongPathForm(base::WideFromGbk(gbkPath)); }

}  // namespace files
