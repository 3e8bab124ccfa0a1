#pragma once
// The command line of updpub: its two commands, their help and exit codes.
#include <cstdio>
#include <string>
#include <vector>

#include "updpub/check/site_source.h"

namespace updpub {

// Runs one command. Arguments are UTF-8 and exclude the program's name.
// Reports go to `out`, errors and progress to `err`; `err` shows a progress
// bar when errIsTerminal.
int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err, bool errIsTerminal,
        HttpGetter& http);

}  // namespace updpub
