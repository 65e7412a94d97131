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
