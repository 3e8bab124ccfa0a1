#pragma once
// What "updpub check" reports: one finding per problem, with the document (or
// file) and line it concerns.
#include <string>
#include <vector>

namespace updpub {

enum class Severity {
  kError,    // an update would fail, or the updater reads something other than what is meant
  kWarning,  // the updater copes, but the site is not written the way it expects
};

struct Finding {
  Severity severity = Severity::kError;
  std::string where;  // an address or a path
  int line = 0;       // 0: the document as a whole
  std::string text;   // UTF-8
};

using Findings = std::vector<Finding>;

// "where:line: error: text".
std::string FindingLine(const Finding& finding);

void AddError(Findings& findings, const std::string& where, int line, std::string text);
void AddWarning(Findings& findings, const std::string& where, int line, std::string text);

}  // namespace updpub
