#pragma once
// The COM owners live in base/; these names remain until their last users in
// net/ tests and engine/ include the base header themselves.
#include "base/com_ptr_win.h"

namespace net {

using base::BstrHolder;
using base::ComPtr;
using base::VariantHolder;

}  // namespace net
