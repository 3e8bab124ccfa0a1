#pragma once
// The debug trace: every line goes to an attached debugger as the prefix
// followed by the GBK text, with no separator and no line end. Callable from
// any thread.
#include <string_view>

namespace base {

void Trace(std::string_view text);

}  // namespace base
