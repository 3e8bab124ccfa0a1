#include "updpub/check/findings.h"

namespace updpub {

std::string FindingLine(const Finding& finding) {
  std::string line = finding.where;
  if (finding.line > 0) line += ":" + std::to_string(finding.line);
  line += finding.severity == Severity::kError ? ": error: " : ": warning: ";
  line += finding.text;
  return line;
}

}  // namespace updpub
