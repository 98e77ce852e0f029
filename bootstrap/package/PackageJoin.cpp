#include "package/PackageJoin.h"

#include <algorithm>
#include <span>

#include <unistd.h>

#include "base/FileIo.h"
#include "manifest/BootstrapFailure.h"

namespace quorvane {

void joinInPlace(int prefix, int tail, std::uint64_t n, std::uint64_t d,
                 const std::function<void()>& checkpoint) {
    if (::ftruncate(tail, static_cast<off_t>(n + d)) != 0)
        throwErrno("ftruncate");

    const ChunkBuffer buffer;
    for (std::uint64_t remaining = d; remaining > 0;) {
        checkpoint();
        const std::uint64_t length = std::min<std::uint64_t>(remaining, chunkBytes);
        const std::uint64_t start = remaining - length;
        const auto chunk = buffer.span().first(static_cast<std::size_t>(length));
        if (readAt(tail, chunk, start) != chunk.size())
            throw BootstrapFailure::size;
        writeAllAt(tail, chunk, start + n);
        remaining = start;
    }

    // Exactly the n bytes measured: a prefix that grew meanwhile must not spill over the tail.
    for (std::uint64_t offset = 0; offset < n;) {
        const std::uint64_t length = std::min<std::uint64_t>(n - offset, chunkBytes);
        const auto chunk = buffer.span().first(static_cast<std::size_t>(length));
        if (readAt(prefix, chunk, offset) != chunk.size())
            throw BootstrapFailure::size;
        checkpoint();
        writeAllAt(tail, chunk, offset);
        offset += length;
    }
}

} // namespace quorvane
