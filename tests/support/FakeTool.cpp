#include "FakeTool.h"

#include "TempDir.h"

namespace quorvane::test {

FakeTool::FakeTool(const std::filesystem::path& folder, const Behaviour& behaviour)
    : folder_(folder), path_(folder / "tool") {
    std::filesystem::create_directories(folder);
    writeFile(folder / "out.txt", behaviour.out);
    writeFile(folder / "err.txt", behaviour.err);
    const std::string dir = "'" + folder.string() + "'";
    std::string script = "#!/bin/sh\n"
                         "printf '%s\\n' \"$@\" > " +
                         dir +
                         "/args\n"
                         "printf '%s' \"${LC_ALL-(unset)}\" > " +
                         dir +
                         "/lc_all\n"
                         "cat " +
                         dir +
                         "/out.txt\n"
                         "cat " +
                         dir + "/err.txt >&2\n";
    script +=
        behaviour.killed ? "kill -KILL $$\n" : "exit " + std::to_string(behaviour.status) + "\n";
    writeFile(path_, script);
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all);
}

bool FakeTool::ran() const {
    return std::filesystem::exists(folder_ / "args");
}
std::string FakeTool::arguments() const {
    return readFile(folder_ / "args");
}
std::string FakeTool::localeAll() const {
    return readFile(folder_ / "lc_all");
}

} // namespace quorvane::test
