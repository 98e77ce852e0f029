#include "PackageTrust.h"

namespace quorvane::tools {

const TrustAnchors& packageTrust() {
    return TrustAnchors::embedded();
}

} // namespace quorvane::tools
