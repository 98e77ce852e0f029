#include "SystemContext.h"

#include "DesktopEntry.h"
#include "SystemCABundle.h"

#include <quorvane/BuildConfig.h>

namespace quorvane {

const SystemContext& SystemContext::fromBuild() {
    static const SystemContext context{
        .pkgutil = std::string(config::pkgutilPath),
        .codesign = std::string(config::codesignPath),
        .userApplications = {},
        .systemApplications = "/Applications",
        // Empty at build time means the system's store, found where this system keeps it.
        .downloadCAFile = config::downloadCAFile.empty() ? findCABundle().string()
                                                         : std::string(config::downloadCAFile),
        .desktopDataHome = desktop::dataHome(),
    };
    return context;
}

} // namespace quorvane
