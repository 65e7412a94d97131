#include "core/line_list.h"

#include "platform/files.h"
#include "platform/text.h"

namespace signposter {

void LineList::Insert(std::size_t index, std::string line) {
    if (index > m_lines.size())
        index = m_lines.size();
    m_lines.insert(m_lines.begin() + static_cast<std::ptrdiff_t>(index), std::move(line));
}

void LineList::SetText(std::string_view bytes) {
    m_lines.clear();
    const std::size_t nul = bytes.find('\0');
    if (nul != std::string_view::npos)
        bytes = bytes.substr(0, nul);
    m_lines = text::SplitLines(bytes);
}

namespace {

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::optional<std::string> LineList::TextAsUtf8(std::string_view bytes) {
    if (bytes.size() < 2)
        return std::string(bytes);
    const auto b0 = static_cast<unsigned char>(bytes[0]);
    const auto b1 = static_cast<unsigned char>(bytes[1]);
    const bool little = b0 == 0xFF && b1 == 0xFE;
    if (!little && !(b0 == 0xFE && b1 == 0xFF))
        return std::string(bytes);
    if (bytes.size() % 2 != 0)
        return std::nullopt;
    const auto unit = [&](std::size_t at) -> char32_t {
        const auto first = static_cast<unsigned char>(bytes[at]);
        const auto second = static_cast<unsigned char>(bytes[at + 1]);
        return little ? first | (second << 8) : (first << 8) | second;
    };
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 2; at < bytes.size(); at += 2) {
        char32_t c = unit(at);
        if (c >= 0xDC00 && c <= 0xDFFF)
            return std::nullopt;
        if (c >= 0xD800 && c <= 0xDBFF) {
            at += 2;
            const char32_t low = at < bytes.size() ? unit(at) : 0;
            if (low < 0xDC00 || low > 0xDFFF)
                return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::string LineList::Text() const {
    std::size_t size = 0;
    for (const auto& line : m_lines) size += line.size() + 2;
    std::string out;
    out.reserve(size);
    for (const auto& line : m_lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void LineList::LoadFromFile(const std::string& path) {
    SetText(platform::ReadWholeFile(path));
}

void LineList::SaveToFile(const std::string& path) const {
    platform::WriteWholeFile(path, Text());
}

}  // namespace signposter
