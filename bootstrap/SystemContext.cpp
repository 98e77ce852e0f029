#include "SystemContext.h"

#include "DesktopEntry.h"

#include <quorvane/BuildConfig.h>

namespace quorvane {

const SystemContext& SystemContext::fromBuild() {
    static const SystemContext context{
        .pkgutil = std::string(config::pkgutilPath),
        .codesign = std::string(config::codesignPath),
        .userApplications = {},
        .systemApplications = "/Applications",
        .downloadCAFile = std::string(config::downloadCAFile),
        .desktopDataHome = desktop::dataHome(),
    };
    return context;
}

} // namespace quorvane
