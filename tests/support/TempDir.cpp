#include "TempDir.h"

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <sys/stat.h>

namespace quorvane::test {

TempDir::TempDir() {
    auto pattern = (std::filesystem::temp_directory_path() / "quorvane-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = buffer.data();
}

namespace {
// Tests make folders unwritable on purpose; open them up so that removal succeeds.
void openUp(const std::filesystem::path& dir) {
    ::chmod(dir.c_str(), 0700);
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            openUp(it->path());
}
} // namespace

TempDir::~TempDir() {
    openUp(path_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void writeFile(const std::filesystem::path& path, std::string_view contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace quorvane::test
