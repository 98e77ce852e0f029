#include "TempDir.h"

#include "base/FileIo.h"

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

TempDir::~TempDir() {
    // Read-only folders and deep trees included.
    removeTree(path_);
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

std::string tailOfFile(const std::filesystem::path& path, std::size_t bytes) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (ec || !in)
        return "(none)";
    const auto start = size > bytes ? size - bytes : 0;
    in.seekg(static_cast<std::streamoff>(start));
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace quorvane::test
