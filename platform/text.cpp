#include "platform/text.h"

#include "platform/exceptions.h"

namespace signposter::text {

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string HexUpper(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

std::string Printable(std::string_view s) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 32 && b != '\t') || b == 127) {
            out += "\\x";
            out += kDigits[b >> 4];
            out += kDigits[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

bool HasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

std::vector<std::string> SplitLines(std::string_view s) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < s.size()) {
        const std::size_t end = s.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(s.substr(start));
            break;
        }
        lines.emplace_back(s.substr(start, end - start));
        start = end + 1;
        if (s[end] == '\r' && start < s.size() && s[start] == '\n')
            ++start;
    }
    return lines;
}

std::string OneLine(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        if (c == '\r' || c == '\n') {
            if (!out.empty() && out.back() != ' ')
                out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

namespace {

struct IntegerScan {
    std::int64_t value = 0;  // magnitude read so far, with the sign applied
    bool complete = false;   // the whole text had the integer form
};

// One scanner for both readings, so that they cannot disagree about the grammar.
IntegerScan ScanInteger(std::string_view s) {
    IntegerScan scan;
    std::size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    if (i == s.size())
        return scan;

    bool hex = false;
    if (s[i] == '$' || s[i] == 'x' || s[i] == 'X') {
        hex = true;
        ++i;
    } else if (s[i] == '0' && i + 1 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }

    bool negative = false;
    if (!hex && (s[i] == '+' || s[i] == '-')) {
        negative = s[i] == '-';
        ++i;
    }

    std::uint64_t magnitude = 0;
    std::size_t digits = 0;
    bool overflow = false;
    const std::uint64_t limit = hex ? 0xFFFFFFFFull : (negative ? 2147483648ull : 2147483647ull);
    for (; i < s.size(); ++i) {
        const int d = hex ? HexDigitValue(s[i]) : (s[i] >= '0' && s[i] <= '9' ? s[i] - '0' : -1);
        if (d < 0)
            break;
        magnitude = magnitude * (hex ? 16 : 10) + static_cast<std::uint64_t>(d);
        if (magnitude > limit) {
            overflow = true;
            magnitude &= 0xFFFFFFFFull;  // keeps the lenient reading bounded; the strict one fails anyway
        }
        ++digits;
    }
    const auto wrapped = static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude));
    scan.value = negative ? -static_cast<std::int64_t>(magnitude)
                          : (hex ? wrapped : static_cast<std::int64_t>(magnitude));
    scan.complete = digits > 0 && i == s.size() && !overflow;
    return scan;
}

}  // namespace

std::string Trim(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= 32) --e;
    return std::string(s.substr(b, e - b));
}

std::string TrimSpaces(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') ++b;
    while (e > b && s[e - 1] == ' ') --e;
    return std::string(s.substr(b, e - b));
}

std::string UpperAscii(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

bool Contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

std::string ReplaceAll(std::string s, char from, char to) {
    for (char& c : s) {
        if (c == from)
            c = to;
    }
    return s;
}

std::optional<std::int32_t> TryStrictInteger(std::string_view s) {
    const IntegerScan scan = ScanInteger(s);
    if (!scan.complete)
        return std::nullopt;
    return static_cast<std::int32_t>(scan.value);
}

std::int32_t StrictInteger(std::string_view s) {
    if (auto v = TryStrictInteger(s))
        return *v;
    throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
}

std::int32_t LenientInteger(std::string_view s) {
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<std::uint64_t>(ScanInteger(s).value)));
}

}  // namespace signposter::text
