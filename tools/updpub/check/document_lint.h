#pragma once
// Findings about a document's bytes before the updater's reader sees them:
// its encoding, and the constructs that reader reads other than a standard
// XML reader would (attributes not separated by single spaces, '=' inside a
// value, "&quot;", comments inside CDATA or values, a second CDATA section).
// Also the lines of its elements, so that later findings can name them.
#include <string>
#include <string_view>
#include <vector>

#include "updpub/check/findings.h"

namespace updpub {

class Outline {
 public:
  struct Element {
    std::string name;
    int line = 0;
    int parent = -1;
    std::vector<int> children;
  };

  // The line of the element at a slash-separated path of names, each step
  // taking the first child of that name as the updater's reader does; 0 when
  // there is none.
  int Line(std::string_view path) const;
  // The line of the index-th (0-based) child of that element, or 0.
  int ChildLine(std::string_view path, size_t index) const;

  std::vector<Element> elements;
  std::vector<int> roots;  // the reader keeps the last one

 private:
  int Find(std::string_view path) const;
};

// Appends findings about `bytes` (labelled `where`) and returns the outline.
Outline LintDocument(std::string_view bytes, const std::string& where, Findings& findings);

// Whether an error is already reported for that line (never for line 0),
// or for any line of the document.
bool HasErrorAt(const Findings& findings, const std::string& where, int line);
bool HasErrorIn(const Findings& findings, const std::string& where);

}  // namespace updpub
