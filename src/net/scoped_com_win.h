#pragma once
// Per-thread COM initialisation lives in base/; this name remains until its
// last users in net/ tests and engine/ include the base header themselves.
#include "base/scoped_com_win.h"

namespace net {

using base::ScopedCom;

}  // namespace net
