#include <cstdio>
#include <string>
#include <vector>

#include "updpub/command_line.h"
#include "updpub/host/host_files.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const auto http = updpub::MakeHttpGetter();
  const int code = updpub::Run(args, stdout, stderr, updpub::StderrIsTerminal(), *http);
  std::fflush(stdout);
  return code;
}
