#include "updpub/check/findings.h"

#include <utility>

namespace updpub {

std::string FindingLine(const Finding& finding) {
  std::string line = finding.where;
  if (finding.line > 0) line += ":" + std::to_string(finding.line);
  line += finding.severity == Severity::kError ? ": error: " : ": warning: ";
  line += finding.text;
  return line;
}

void AddError(Findings& findings, const std::string& where, int line, std::string text) {
  findings.push_back(Finding{Severity::kError, where, line, std::move(text)});
}

void AddWarning(Findings& findings, const std::string& where, int line, std::string text) {
  findings.push_back(Finding{Severity::kWarning, where, line, std::move(text)});
}

}  // namespace updpub
