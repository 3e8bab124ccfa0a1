#pragma once
// The tables Go's linker writes beside a program's code, read from
// untrusted bytes as the rest of the PE reader is: the function table
// (runtime.pclntab), found by its header's magic and checked against the
// module data that points to it, whose entries hold each function's entry
// as a 32-bit offset from the start of the text, and its records' offsets
// into the tables of names, files and pc-value data. When functions move,
// every such offset after the move changes; as references from a base
// (ReferenceKind::kBased32) the prediction moves them as the other
// references are. Nothing here decides correctness: a table misread costs
// size only. Deterministic and linear in the file's size.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "codecs/pe_image.h"
#include "codecs/pe_image_internal.h"

namespace files {

inline constexpr size_t kTextBase = 0;
inline constexpr size_t kNamesBase = 1;
inline constexpr size_t kFunctionsBase = 4;

// Where the tables of one Go module are loaded; 0 where not found.
struct GoTables {
  uint32_t text = 0;         // runtime.text, the base of function entries
  uint32_t textEnd = 0;
  uint32_t names = 0;        // function names (funcnametab)
  uint32_t namesSize = 0;
  uint32_t units = 0;        // per compilation unit, offsets into files (cutab)
  uint32_t unitsSize = 0;
  uint32_t files = 0;        // file names (filetab)
  uint32_t filesSize = 0;
  uint32_t pcData = 0;       // pc-value tables (pctab)
  uint32_t pcDataSize = 0;
  uint32_t functions = 0;    // the function table and its records (pclntable)
  uint32_t functionsSize = 0;
  uint32_t functionCount = 0;
  uint32_t functionData = 0;  // what the records' function data count from (go:func.*)
  uint32_t functionDataSize = 0;
  bool recordsHaveStartLine = false;  // the records' form since the second magic

  // The bases the tables' offsets count from, in a fixed order: the text,
  // the names, the files, the pc-value tables, the function table, the
  // function data (kTextBase, kNamesBase, kFunctionsBase).
  std::vector<uint32_t> Bases() const;
};

// The Go tables of a PE file, found through the relocated pointers among
// `refs` (the module data points to the table's header); false for a file
// with none that passes every check.
bool FindGoTables(std::string_view file, const PeLayout& layout, const std::vector<Reference>& refs,
                  GoTables& tables);

// Adds the offsets of a Go program's tables to `refs`, the relocation
// table's operands, as kBased32 references whose target is the byte they
// name: the records' and the units'. Offsets a table does not hold, and the
// "none" marks, are left out; so is the function table, which the
// prediction rebuilds.
// `refs` comes out sorted by offset (overlaps are for the caller).
void AddGoTableReferences(std::string_view file, const PeLayout& layout, std::vector<Reference>& refs);

// Writes into `prediction` the new file's function table, which lies where
// `bases` (the map's, in GoTables::Bases' order) puts it: the base's entries
// with each function and record moved by `move` (an old address to its new
// one), sorted by the new entry, then the text's end. The table is rebuilt
// rather than moved in blocks because its entries are all offsets: masked,
// no bytes of it tell where a block of it belongs. A function the new file
// adds is missing, and the entries after it lie one entry early.
void PredictFunctionTable(std::string_view base, const PeLayout& oldLayout, const PeLayout& newLayout,
                          const std::vector<std::pair<uint32_t, uint32_t>>& bases,
                          const std::function<bool(uint32_t, uint32_t&)>& move, char* prediction,
                          uint64_t predictionSize);

// Where the base a kBased32 operand of `file` counts from lies in the new
// file, by the map's list of (old, new) bases; false when it lists none.
// Inline: the prediction asks for each such operand.
inline bool NewBaseOf(const std::vector<std::pair<uint32_t, uint32_t>>& bases, std::string_view file,
                      const Reference& ref, uint32_t& newBase) {
  if (!pe_internal::Fits(file, ref.offset, 4)) return false;
  const uint32_t oldBase = ref.target - pe_internal::Read32(file, ref.offset);
  for (const auto& [from, to] : bases) {
    if (from == oldBase) {
      newBase = to;
      return true;
    }
  }
  return false;
}

}  // namespace files
