#pragma once

#include <string>
#include <string_view>

namespace quorvane {

// Turns a stream of bytes into valid UTF-8, replacing each invalid sequence with U+FFFD the way
// the WHATWG decoder does (one replacement per maximal invalid subpart). Input may arrive in any
// pieces; a sequence split between pieces is held back until it completes.
class Utf8Decoder {
public:
    void decode(std::string_view bytes, std::string& out);
    // Ends the input: a sequence left unfinished becomes one U+FFFD.
    void finish(std::string& out);

private:
    void reset() noexcept;

    std::string pending_; // lead and continuation bytes of the sequence being read
    int needed_ = 0;
    unsigned char lower_ = 0x80;
    unsigned char upper_ = 0xBF;
};

} // namespace quorvane
