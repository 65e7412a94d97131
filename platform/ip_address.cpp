#include "platform/ip_address.h"

#include <cstdio>

#include "platform/text.h"

namespace signposter::platform {

namespace {

// A dotted quad as it may end an IPv6 address: four decimal fields 0..255 without leading zeros.
bool ParseEmbeddedQuad(std::string_view text, std::uint8_t* out) {
    std::size_t i = 0;
    for (int field = 0; field < 4; ++field) {
        if (field > 0) {
            if (i >= text.size() || text[i] != '.')
                return false;
            ++i;
        }
        const std::size_t start = i;
        unsigned number = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3)
            number = number * 10 + unsigned(text[i++] - '0');
        const std::size_t digits = i - start;
        if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0'))
            return false;
        out[field] = static_cast<std::uint8_t>(number);
    }
    return i == text.size();
}

}  // namespace

std::optional<IPv6Bytes> ParseIPv6(std::string_view text) {
    // Groups before and after the "::", filled in from both ends.
    std::uint16_t head[8]{}, tail[8]{};
    int headCount = 0, tailCount = 0;
    bool compressed = false;
    std::uint8_t quad[4]{};
    bool haveQuad = false;
    std::size_t i = 0;
    if (text.substr(0, 2) == "::") {
        compressed = true;
        i = 2;
    } else if (!text.empty() && text[0] == ':') {
        return std::nullopt;
    }
    while (i < text.size()) {
        const std::size_t start = i;
        unsigned value = 0;
        while (i < text.size() && text::HexDigitValue(text[i]) >= 0 && i - start < 4)
            value = value * 16 + text::HexDigitValue(text[i++]);
        const int count = headCount + tailCount;
        if (i < text.size() && text[i] == '.') {
            // The dotted quad takes the last two groups and ends the text.
            if (count > 6 || !ParseEmbeddedQuad(text.substr(start), quad))
                return std::nullopt;
            haveQuad = true;
            break;
        }
        if (i == start || count >= 8)
            return std::nullopt;
        (compressed ? tail[tailCount++] : head[headCount++]) = static_cast<std::uint16_t>(value);
        if (i == text.size())
            break;
        if (text[i] != ':')
            return std::nullopt;
        ++i;
        if (i < text.size() && text[i] == ':') {
            if (compressed)
                return std::nullopt;
            compressed = true;
            ++i;
        } else if (i == text.size()) {
            return std::nullopt;  // a single trailing colon
        }
    }
    const int groups = headCount + tailCount + (haveQuad ? 2 : 0);
    if (compressed ? groups > 7 : groups != 8)
        return std::nullopt;
    IPv6Bytes bytes{};
    for (int g = 0; g < headCount; ++g) {
        bytes[2 * g] = static_cast<std::uint8_t>(head[g] >> 8);
        bytes[2 * g + 1] = static_cast<std::uint8_t>(head[g]);
    }
    const int tailStart = 8 - tailCount - (haveQuad ? 2 : 0);
    for (int g = 0; g < tailCount; ++g) {
        bytes[2 * (tailStart + g)] = static_cast<std::uint8_t>(tail[g] >> 8);
        bytes[2 * (tailStart + g) + 1] = static_cast<std::uint8_t>(tail[g]);
    }
    if (haveQuad)
        for (int b = 0; b < 4; ++b) bytes[12 + b] = quad[b];
    return bytes;
}

std::string FormatIPv4(const std::uint8_t* bytes) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

std::string FormatIPv6(const IPv6Bytes& bytes) {
    bool mapped = bytes[10] == 0xff && bytes[11] == 0xff;
    for (int b = 0; b < 10 && mapped; ++b) mapped = bytes[b] == 0;
    if (mapped)
        return "::ffff:" + FormatIPv4(&bytes[12]);
    unsigned groups[8];
    for (int g = 0; g < 8; ++g) groups[g] = unsigned(bytes[2 * g]) << 8 | bytes[2 * g + 1];
    int bestStart = -1, bestLength = 1;  // a single zero group is never compressed
    for (int g = 0; g < 8;) {
        if (groups[g] != 0) {
            ++g;
            continue;
        }
        int end = g;
        while (end < 8 && groups[end] == 0) ++end;
        if (end - g > bestLength) {
            bestStart = g;
            bestLength = end - g;
        }
        g = end;
    }
    std::string text;
    char group[8];
    for (int g = 0; g < 8; ++g) {
        if (g == bestStart) {
            text += "::";
            g += bestLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != ':')
            text += ':';
        std::snprintf(group, sizeof group, "%x", groups[g]);
        text += group;
    }
    return text;
}

}  // namespace signposter::platform
