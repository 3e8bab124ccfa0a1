#pragma once
// One HTTP GET of a small server document through the system's HTTP request
// automation object.
#include <string_view>
#include <vector>

namespace net {

struct HttpGetResult {
  bool ok = false;
  std::vector<unsigned char> body;  // may be empty even when ok
};

// The calling thread must have initialised COM (single-threaded apartment)
// and keeps it initialised until this returns. Succeeds only on status 200.
HttpGetResult AutomationHttpGet(std::string_view url);

}  // namespace net
