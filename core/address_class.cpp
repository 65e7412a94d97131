#include "core/address_class.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/ip_address.h"

namespace signposter {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsHexDigit(char c) {
    return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// What IPv6 text is made of, the dotted quad of its last 32 bits included.
bool IsIPv6Char(char c) {
    return IsHexDigit(c) || c == ':' || c == '.';
}

// A letter, digit or underscore: what joins text into one word.
bool IsWordChar(char c) {
    return IsHexDigit(c) || (c >= 'g' && c <= 'z') || (c >= 'G' && c <= 'Z') || c == '_';
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

namespace {

struct Block6 {
    const char* network;
    unsigned prefix;
    AddressClass addressClass;
};

// The specific blocks before global unicast, which holds several of them.
const Block6 kBlocks6[] = {
    {"::", 128, AddressClass::Unspecified6},      {"::1", 128, AddressClass::Loopback6},
    {"::ffff:0:0", 96, AddressClass::IPv4Mapped}, {"64:ff9b::", 96, AddressClass::Nat64},
    {"64:ff9b:1::", 48, AddressClass::Nat64},     {"100::", 64, AddressClass::Discard6},
    {"2001::", 32, AddressClass::Teredo},         {"2001:2::", 48, AddressClass::Benchmarking6},
    {"2001:20::", 28, AddressClass::Orchid},      {"2001:db8::", 32, AddressClass::Documentation6},
    {"3fff::", 20, AddressClass::Documentation6}, {"2002::", 16, AddressClass::SixToFour},
    {"2000::", 3, AddressClass::Public},          {"fc00::", 7, AddressClass::UniqueLocal},
    {"fec0::", 10, AddressClass::SiteLocal},      {"fe80::", 10, AddressClass::LinkLocal6},
    {"ff00::", 8, AddressClass::Multicast6},
};

bool InBlock(const platform::IPv6Bytes& address, const platform::IPv6Bytes& network, unsigned prefix) {
    for (unsigned bit = 0; bit < prefix; bit += 8) {
        const unsigned bits = prefix - bit < 8 ? prefix - bit : 8;
        const auto mask = static_cast<std::uint8_t>(0xff << (8 - bits));
        if ((address[bit / 8] & mask) != (network[bit / 8] & mask))
            return false;
    }
    return true;
}

AddressClass ClassifyIPv6(const platform::IPv6Bytes& address) {
    static const std::vector<platform::IPv6Bytes> networks = [] {
        std::vector<platform::IPv6Bytes> parsed;
        for (const Block6& block : kBlocks6) parsed.push_back(*platform::ParseIPv6(block.network));
        return parsed;
    }();
    for (std::size_t i = 0; i < networks.size(); ++i)
        if (InBlock(address, networks[i], kBlocks6[i].prefix))
            return kBlocks6[i].addressClass;
    return AddressClass::Reserved6;
}

}  // namespace

bool IsUnreachable(AddressClass addressClass) {
    return addressClass != AddressClass::Public && addressClass != AddressClass::SixToFour;
}

AddressClass ClassifyAddress(std::string_view address) {
    const auto value = ParseDottedQuad(address);
    if (!value) {
        const auto ipv6 = platform::ParseIPv6(address);
        return ipv6 ? ClassifyIPv6(*ipv6) : AddressClass::NotAnAddress;
    }
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
    const char* article = "a";
    // A block that visitors can reach all the same, named so that the user knows what it is.
    bool reachable = false;
};

ClassText TextOf(AddressClass addressClass) {
    switch (addressClass) {
        case AddressClass::Public:
            return {"public", nullptr};
        case AddressClass::NotAnAddress:
            return {"not an address", nullptr, nullptr};
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
        case AddressClass::Unspecified6:
            return {"unspecified", "RFC 4291", "an"};
        case AddressClass::Loopback6:
            return {"loopback", "RFC 4291"};
        case AddressClass::IPv4Mapped:
            return {"IPv4-mapped", "RFC 4291", "an"};
        case AddressClass::Nat64:
            return {"NAT64", "RFC 6052"};
        case AddressClass::Discard6:
            return {"discard-only", "RFC 6666"};
        case AddressClass::Teredo:
            return {"Teredo", "RFC 4380"};
        case AddressClass::Benchmarking6:
            return {"benchmarking", "RFC 5180"};
        case AddressClass::Orchid:
            return {"ORCHIDv2", "RFC 7343", "an"};
        case AddressClass::Documentation6:
            return {"documentation", "RFC 3849"};
        case AddressClass::SixToFour:
            return {"6to4", "RFC 3056", "a", true};
        case AddressClass::UniqueLocal:
            return {"unique local", "RFC 4193"};
        case AddressClass::SiteLocal:
            return {"site-local", "RFC 3879"};
        case AddressClass::LinkLocal6:
            return {"link-local", "RFC 4291"};
        case AddressClass::Multicast6:
            return {"multicast", "RFC 4291"};
        case AddressClass::Reserved6:
            return {"reserved", "RFC 4291"};
    }
    return {"public", nullptr};
}

}  // namespace

std::string DescribeClass(AddressClass addressClass) {
    const ClassText t = TextOf(addressClass);
    return t.rfc ? ClassName(addressClass) + " (" + t.rfc + ")" : ClassName(addressClass);
}

std::string ClassName(AddressClass addressClass) {
    const ClassText t = TextOf(addressClass);
    return t.reachable ? std::string("public, ") + t.name : std::string(t.name);
}

std::string ClassPhrase(AddressClass addressClass) {
    const ClassText t = TextOf(addressClass);
    // "not an address" is a phrase already; the others name a kind of address.
    std::string phrase = t.article
                             ? std::string(t.article) + (t.reachable ? " public " : " ") + t.name + " address"
                             : std::string(t.name);
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

std::optional<std::string> FindFirstIPv6(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        if (!IsIPv6Char(text[i])) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && IsIPv6Char(text[end])) ++end;
        std::string_view run = text.substr(i, end - i);
        const bool gluedBefore = i > 0 && IsWordChar(text[i - 1]);
        const bool gluedAfter = end < text.size() && IsWordChar(text[end]);
        i = end;
        // A word going on after the run ("12:30:45Z", "2001:db8::1ms") makes it no address.
        if (gluedAfter || run.find(':') == std::string_view::npos)
            continue;
        // A word before it owns the run up to the first colon, which then only labels what follows
        // ("IPv6:2001:db8::1", "Address:..."); a doubled colon joins names ("std::string", "Foo::1").
        if (gluedBefore) {
            run.remove_prefix(run.find(':'));
            if (run.size() > 1 && run[1] == ':')
                continue;
        }
        if (run.size() > 1 && run[0] == ':' && run[1] != ':')
            run.remove_prefix(1);
        // Punctuation after an address: the end of a sentence, or a colon before more text.
        if (run.size() > 1 && run.back() == '.' && run[run.size() - 2] != '.')
            run.remove_suffix(1);
        if (run.size() > 1 && run.back() == ':' && run[run.size() - 2] != ':')
            run.remove_suffix(1);
        // "::" alone is the unspecified address, but in a text it is punctuation.
        if (std::none_of(run.begin(), run.end(), IsHexDigit))
            continue;
        if (const auto bytes = platform::ParseIPv6(run))
            return platform::FormatIPv6(*bytes);
    }
    return std::nullopt;
}

}  // namespace signposter
