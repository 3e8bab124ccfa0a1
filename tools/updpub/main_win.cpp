#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "updpub/command_line.h"
#include "updpub/host/host_files.h"

namespace {

std::string Utf8FromWide(const wchar_t* text) {
  const int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 1) return {};
  std::string utf8(static_cast<size_t>(needed), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), needed, nullptr, nullptr);
  utf8.pop_back();  // the terminating zero
  return utf8;
}

}  // namespace

// The wide command line carries every character; the tool works in UTF-8 and
// says so to the console.
int wmain(int argc, wchar_t** argv) {
  SetConsoleOutputCP(CP_UTF8);
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(Utf8FromWide(argv[i]));
  const auto http = updpub::MakeHttpGetter();
  const int code = updpub::Run(args, stdout, stderr, updpub::StderrIsTerminal(), *http);
  std::fflush(stdout);
  return code;
}
