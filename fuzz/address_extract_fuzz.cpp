// The address extraction fed arbitrary page bodies: nothing, or a real dotted quad found in the text. The
// same bytes as IPv6 text: what is read has one canonical text, which reads back to the same address.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/address_class.h"
#include "platform/ip_address.h"

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
    // The first IPv6 address found is canonical text that reads back to itself.
    if (const auto found = signposter::FindFirstIPv6(body)) {
        const auto again = signposter::platform::ParseIPv6(*found);
        if (!again || signposter::platform::FormatIPv6(*again) != *found)
            __builtin_trap();
    }
    if (const auto ipv6 = signposter::platform::ParseIPv6(body)) {
        const std::string canonical = signposter::platform::FormatIPv6(*ipv6);
        const auto again = signposter::platform::ParseIPv6(canonical);
        if (!again || *again != *ipv6 || canonical.size() > 45 ||
            signposter::platform::FormatIPv6(*again) != canonical)
            __builtin_trap();
        signposter::DescribeClass(signposter::ClassifyAddress(body));
    }
    return 0;
}
