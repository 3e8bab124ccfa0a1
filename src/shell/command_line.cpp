#include "shell/command_line.h"

#include "base/byte_text.h"

namespace shell {
namespace {

constexpr char kQuote = '"';
constexpr std::string_view kTestModeWord = "TestMod";

bool IsSeparator(unsigned char byte) { return byte < '!'; }

// Position after the program path. The path is skipped byte by byte: it comes
// from the system, not from the main program's arguments.
size_t SkipProgramPath(std::string_view line) {
  if (line.empty()) return 0;
  if (line[0] == kQuote) {
    const size_t close = line.find(kQuote, 1);
    if (close == std::string_view::npos) return line.size();
    size_t pos = close + 1;
    if (pos < line.size() && line[pos] == ' ') ++pos;
    return pos;
  }
  const size_t space = line.find(' ');
  return space == std::string_view::npos ? line.size() : space + 1;
}

// Appends the byte at pos to out, together with its trail byte when it is a
// lead byte, and returns the position after what was taken. A lead byte at the
// very end of the line is taken alone.
size_t TakeCharacter(std::string_view line, size_t pos, std::string& out) {
  out.push_back(line[pos]);
  ++pos;
  if (base::IsLeadByte(static_cast<unsigned char>(line[pos - 1]), base::kCommandLineFirstLeadByte) &&
      pos < line.size()) {
    out.push_back(line[pos]);
    ++pos;
  }
  return pos;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t pos = SkipProgramPath(line);
  while (pos < line.size()) {
    const auto byte = static_cast<unsigned char>(line[pos]);
    if (IsSeparator(byte)) {
      ++pos;
      continue;
    }
    std::string arg;
    if (byte == kQuote) {
      ++pos;
      while (pos < line.size() && line[pos] != kQuote) pos = TakeCharacter(line, pos, arg);
      if (pos < line.size()) ++pos;  // the closing quote
    } else {
      while (pos < line.size() && !IsSeparator(static_cast<unsigned char>(line[pos])) &&
             line[pos] != kQuote) {
        pos = TakeCharacter(line, pos, arg);
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::optional<StartArguments> InterpretArguments(const std::vector<std::string>& args) {
  if (args.size() != 2 && args.size() != 4) return std::nullopt;
  StartArguments result;
  result.configAddress = args[0];
  result.localVersion = args[1];
  if (args.size() == 4 && args[3] == kTestModeWord) {
    result.testMode = true;
    result.targetVersion = args[2];
  }
  return result;
}

}  // namespace shell
