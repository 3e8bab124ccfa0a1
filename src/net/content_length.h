#pragma once
// The Content-Length header of a download as the worker may use it.
#include <cstdint>
#include <optional>
#include <string_view>

namespace net {

// An absent or empty header gives 0; decimal digits give their value; a value
// of 2 GiB or more, or any other text, gives nothing: such a length would
// not fit the 32-bit record the window reads.
std::optional<int32_t> ParseContentLength(std::string_view text);

}  // namespace net
