#include "FakeTool.h"

#include "TempDir.h"

namespace quorvane::test {

FakeTool::FakeTool(const std::filesystem::path& folder, const Behaviour& behaviour)
    : folder_(folder), path_(folder / "tool") {
    std::filesystem::create_directories(folder);
    writeFile(folder / "out.txt", behaviour.out);
    writeFile(folder / "err.txt", behaviour.err);
    std::string dir = "'";
    dir += folder.string();
    dir += "'";
    std::string script = "#!/bin/sh\n";
    script.append("printf '%s\\n' \"$@\" > ").append(dir).append("/args\n");
    script.append("printf '%s' \"${LC_ALL-(unset)}\" > ").append(dir).append("/lc_all\n");
    script.append("cat ").append(dir).append("/out.txt\n");
    script.append("cat ").append(dir).append("/err.txt >&2\n");
    if (behaviour.killed)
        script.append("kill -KILL $$\n");
    else
        script.append("exit ").append(std::to_string(behaviour.status)).append("\n");
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
