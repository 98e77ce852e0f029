#include "BusConfig.h"

#include <string>

#include "TempDir.h"

namespace quorvane::test {

void writePrivateBusConfig(const std::filesystem::path& file, std::string_view listen,
                           const std::filesystem::path& services) {
    writeFile(file, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                    "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/"
                    "busconfig.dtd\">\n<busconfig><type>session</type><listen>" +
                        std::string(listen) + "</listen><auth>EXTERNAL</auth>" +
                        (services.empty() ? std::string()
                                          : "<servicedir>" + services.string() + "</servicedir>") +
                        "<policy context=\"default\"><allow "
                        "send_destination=\"*\" eavesdrop=\"true\"/><allow "
                        "eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
}

} // namespace quorvane::test
