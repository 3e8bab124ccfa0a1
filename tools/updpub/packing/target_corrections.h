#pragma once
// The target corrections of a code delta's map: where the new file's own
// references outvote the blocks' answer for an address of the base, the
// map says where that address went.
#include <string_view>
#include <vector>

#include "codecs/code_delta.h"
#include "codecs/pe_image.h"

namespace updpub {

// For each old target the prediction moved references to (`moved`, from a
// prediction without corrections), the new address most of those references
// point to in `plain`, where that makes more of them exact than the
// prediction did. Sorted by old target; at most one per
// files::kNewBytesPerCorrection bytes of `plain`, the most useful kept.
std::vector<files::TargetCorrection> ChooseCorrections(std::string_view plain, const files::PeLayout& layout,
                                                       const std::vector<files::MovedReference>& moved);

}  // namespace updpub
