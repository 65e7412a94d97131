#include "core/address_class.h"

#include <cstdint>

namespace signposter {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

struct Block {
    std::uint32_t network;
    int prefix;
    AddressClass addressClass;
};

constexpr std::uint32_t Quad(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
    return a << 24 | b << 16 | c << 8 | d;
}

const Block kBlocks[] = {
    {Quad(0, 0, 0, 0), 8, AddressClass::ThisNetwork},
    {Quad(10, 0, 0, 0), 8, AddressClass::Private},
    {Quad(100, 64, 0, 0), 10, AddressClass::CarrierGradeNat},
    {Quad(127, 0, 0, 0), 8, AddressClass::Loopback},
    {Quad(169, 254, 0, 0), 16, AddressClass::LinkLocal},
    {Quad(172, 16, 0, 0), 12, AddressClass::Private},
    {Quad(192, 0, 2, 0), 24, AddressClass::Documentation},
    {Quad(192, 168, 0, 0), 16, AddressClass::Private},
    {Quad(198, 18, 0, 0), 15, AddressClass::Benchmarking},
    {Quad(198, 51, 100, 0), 24, AddressClass::Documentation},
    {Quad(203, 0, 113, 0), 24, AddressClass::Documentation},
    {Quad(224, 0, 0, 0), 4, AddressClass::Multicast},
    {Quad(240, 0, 0, 0), 4, AddressClass::Reserved},
};

}  // namespace

std::optional<std::uint32_t> ParseDottedQuad(std::string_view text) {
    std::uint32_t value = 0;
    std::size_t i = 0;
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (i >= text.size() || text[i] != '.')
                return std::nullopt;
            ++i;
        }
        const std::size_t start = i;
        unsigned number = 0;
        while (i < text.size() && IsDigit(text[i]) && i - start < 3)
            number = number * 10 + unsigned(text[i++] - '0');
        const std::size_t digits = i - start;
        if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0'))
            return std::nullopt;
        value = value << 8 | number;
    }
    if (i != text.size())
        return std::nullopt;
    return value;
}

AddressClass ClassifyAddress(std::string_view address) {
    const auto value = ParseDottedQuad(address);
    if (!value)
        return AddressClass::Public;
    for (const Block& block : kBlocks) {
        const std::uint32_t mask = ~std::uint32_t{0} << (32 - block.prefix);
        if ((*value & mask) == block.network)
            return block.addressClass;
    }
    return AddressClass::Public;
}

namespace {

struct ClassText {
    const char* name;
    const char* rfc;
};

ClassText TextOf(AddressClass addressClass) {
    switch (addressClass) {
        case AddressClass::Public:
            return {"public", nullptr};
        case AddressClass::Loopback:
            return {"loopback", "RFC 1122"};
        case AddressClass::Private:
            return {"private", "RFC 1918"};
        case AddressClass::CarrierGradeNat:
            return {"carrier-grade NAT", "RFC 6598"};
        case AddressClass::LinkLocal:
            return {"link-local", "RFC 3927"};
        case AddressClass::ThisNetwork:
            return {"\"this network\"", "RFC 1122"};
        case AddressClass::Documentation:
            return {"documentation", "RFC 5737"};
        case AddressClass::Benchmarking:
            return {"benchmarking", "RFC 2544"};
        case AddressClass::Multicast:
            return {"multicast", "RFC 5771"};
        case AddressClass::Reserved:
            return {"reserved", "RFC 1112"};
    }
    return {"public", nullptr};
}

}  // namespace

std::string DescribeClass(AddressClass addressClass) {
    const ClassText t = TextOf(addressClass);
    return t.rfc ? std::string(t.name) + " (" + t.rfc + ")" : std::string(t.name);
}

std::string ClassName(AddressClass addressClass) {
    return TextOf(addressClass).name;
}

std::string ClassPhrase(AddressClass addressClass) {
    const ClassText t = TextOf(addressClass);
    std::string phrase = std::string("a ") + t.name + " address";
    if (t.rfc)
        phrase += std::string(" (") + t.rfc + ")";
    return phrase;
}

std::optional<std::string> FindFirstIPv4(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (!IsDigit(text[i])) {
            ++i;
            continue;
        }
        // A run of digits and dots, taken whole: an address glued to more fields is no address.
        std::size_t end = i;
        while (end < text.size() && (IsDigit(text[end]) || text[end] == '.')) ++end;
        std::string_view run = text.substr(i, end - i);
        // A sentence may end right after the address ("is 1.2.3.4."); one dot at the end is punctuation.
        if (run.size() > 1 && run.back() == '.' && run[run.size() - 2] != '.')
            run.remove_suffix(1);
        // An IPv4 address written inside an IPv6 one ("::ffff:1.2.3.4") is an IPv6 answer.
        const bool insideIPv6 = (i > 0 && text[i - 1] == ':') || (end < text.size() && text[end] == ':');
        if (!insideIPv6 && ParseDottedQuad(run))
            return std::string(run);
        i = end;
    }
    return std::nullopt;
}

}  // namespace signposter
