// The HTTP answer parser fed arbitrary bytes in two pieces, then the end of the stream: an answer within
// the limits, or an error of the family.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "ftp/http_get.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    // The first byte chooses where the stream is cut, so answers split across reads are covered too.
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    signposter::ftp::HttpAnswerParser parser("http://127.0.0.1/fuzz");
    try {
        parser.Feed(bytes.substr(0, cut));
        parser.Feed(bytes.substr(cut));
        parser.EndOfStream();
        if (!parser.Complete() || parser.Body().size() > signposter::ftp::kHttpMaxBodyBytes ||
            parser.Status() < 100 || parser.Status() > 999)
            __builtin_trap();
    } catch (const signposter::ftp::EIdHTTPError&) {
    }
    return 0;
}
