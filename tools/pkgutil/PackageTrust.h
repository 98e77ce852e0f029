#pragma once

#include "Trust.h"

namespace quorvane::tools {

// The anchors this pkgutil executable was built with.
const TrustAnchors& packageTrust();

} // namespace quorvane::tools
