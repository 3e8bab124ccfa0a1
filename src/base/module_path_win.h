#pragma once
#include <string>

namespace base {

// The full path of this process's executable, however long.
std::wstring OwnModulePath();

}  // namespace base
