// Times the final move of an installation (atomic swap, then the folder sync) for a tiny
// bundle and for a large one with many files. The swap touches two directory entries only, so
// both should take the same time.
//
//   bench_swap [folder] [megabytes] [files]
//
// The folder (default: the system's temporary folder) must be on the file system to measure.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "base/FileIo.h"
#include "base/Rename.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

void writeBundle(const fs::path& bundle, std::size_t totalBytes, std::size_t files) {
    const std::vector<char> chunk(1 << 20, 'q');
    const std::size_t perFile = files ? totalBytes / files : 0;
    for (std::size_t i = 0; i < files; ++i) {
        const auto folder = bundle / "Contents" / "Resources" / std::to_string(i % 64);
        fs::create_directories(folder);
        quorvane::FileDescriptor fd(::open((folder / ("file" + std::to_string(i))).c_str(),
                                           O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!fd)
            throw std::system_error(errno, std::generic_category(), "open");
        for (std::size_t left = perFile; left > 0;) {
            const std::size_t n = std::min(left, chunk.size());
            if (::write(fd.get(), chunk.data(), n) != static_cast<ssize_t>(n))
                throw std::system_error(errno, std::generic_category(), "write");
            left -= n;
        }
    }
}

struct Figures {
    double swapMedian, swapMax, syncedMedian;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Figures measure(const fs::path& folder, int rounds) {
    const quorvane::FileDescriptor dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<double> swaps, synced;
    for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        quorvane::moveIntoPlace(dir.get(), "work/Quorvane Pro.app", "Quorvane Pro.app", true);
        const auto swapped = Clock::now();
        ::fsync(dir.get());
        const auto end = Clock::now();
        swaps.push_back(std::chrono::duration<double, std::micro>(swapped - start).count());
        synced.push_back(std::chrono::duration<double, std::micro>(end - start).count());
    }
    return {median(swaps), *std::max_element(swaps.begin(), swaps.end()), median(synced)};
}

} // namespace

int main(int argc, char** argv) {
    const fs::path base = argc > 1 ? fs::path(argv[1]) : fs::temp_directory_path();
    const std::size_t megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 500;
    const std::size_t files = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 5000;
    const fs::path root = base / ("swap-bench-" + std::to_string(::getpid()));
    constexpr int rounds = 2000;

    std::printf("%-28s %14s %14s %18s\n", "bundle", "swap median", "swap max", "swap+fsync median");
    struct Case {
        const char* name;
        std::size_t bytes, files;
    };
    const std::string big =
        std::to_string(megabytes) + " MB in " + std::to_string(files) + " files";
    for (const Case& c :
         {Case{"tiny (1 file, 1 KB)", 1024, 1}, Case{big.c_str(), megabytes * 1'000'000, files}}) {
        fs::remove_all(root);
        fs::create_directories(root / "work");
        // Both sides of the swap are bundles of the same size, as in a real replacement.
        writeBundle(root / "Quorvane Pro.app", c.bytes, c.files);
        writeBundle(root / "work" / "Quorvane Pro.app", c.bytes, c.files);
        ::sync();
        const Figures f = measure(root, rounds);
        std::printf("%-28s %11.2f us %11.2f us %15.2f us\n", c.name, f.swapMedian, f.swapMax,
                    f.syncedMedian);
    }
    fs::remove_all(root);
    return 0;
}
