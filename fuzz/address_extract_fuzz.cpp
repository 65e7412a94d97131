// The address extraction fed arbitrary page bodies: nothing, or a real dotted quad found in the text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/address_class.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto address = signposter::FindFirstIPv4(body);
    if (address) {
        // At most "255.255.255.255", a valid quad, and taken from the body itself.
        if (address->size() > 15 || !signposter::ParseDottedQuad(*address) ||
            body.find(*address) == std::string_view::npos)
            __builtin_trap();
        signposter::DescribeClass(signposter::ClassifyAddress(*address));
    }
    return 0;
}
