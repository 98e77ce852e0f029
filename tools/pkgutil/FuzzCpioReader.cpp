// libFuzzer target for the payload reader. An odd first byte sends the rest through the gzip
// layer, as a package's Payload goes; an even one feeds it to the cpio reader as it is. Every
// entry's name is split as the expansion splits it and its data is read, so the reader's whole
// path runs; the budget keeps bombs short.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "CpioReader.h"
#include "TreeWriter.h"

namespace {

class MemorySource : public quorvane::tools::ByteSource {
public:
    MemorySource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t read(char* buffer, std::size_t capacity) override {
        const std::size_t n = std::min(capacity, size_ - done_);
        std::copy(data_ + done_, data_ + done_ + n, buffer);
        done_ += n;
        return n;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t done_ = 0;
};

void readAll(quorvane::tools::ByteSource& source) {
    quorvane::tools::CpioReader reader(source);
    quorvane::tools::CpioEntry entry;
    std::string buffer(1 << 16, '\0');
    while (reader.next(entry)) {
        try {
            quorvane::tools::splitEntryPath(entry.name);
        } catch (const quorvane::tools::UnsafeEntry&) {
        }
        while (reader.readData(buffer.data(), buffer.size()) != 0) {
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    MemorySource source(data + 1, size - 1);
    quorvane::tools::ByteBudget budget(64 << 20);
    try {
        if (data[0] & 1) {
            quorvane::tools::GzipLayer gzip(source, budget);
            readAll(gzip);
        } else {
            readAll(source);
        }
    } catch (const quorvane::tools::PayloadError&) {
    }
    return 0;
}
