#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace signposter {

// An ordered list of text lines that loads from and saves to a text file. Lines are bytes; no encoding
// conversion happens in either direction.
class LineList {
public:
    LineList() = default;
    explicit LineList(std::vector<std::string> lines) : m_lines(std::move(lines)) {}

    std::size_t Count() const { return m_lines.size(); }
    bool Empty() const { return m_lines.empty(); }
    const std::string& operator[](std::size_t index) const { return m_lines[index]; }
    std::string& operator[](std::size_t index) { return m_lines[index]; }
    void Add(std::string line) { m_lines.push_back(std::move(line)); }
    void Insert(std::size_t index, std::string line);
    void Clear() { m_lines.clear(); }
    const std::vector<std::string>& Lines() const { return m_lines; }

    // Splits bytes into lines: a line ends at CR, LF or CR LF; a final line without a break still counts;
    // a NUL byte ends the text.
    void SetText(std::string_view bytes);
    // The bytes of a text file as UTF-8: a file that starts with a UTF-16 byte order mark (FF FE or FE FF,
    // what Windows editors save as "Unicode") is decoded without its mark; anything else is returned as it
    // is. Nothing for UTF-16 that does not decode (an odd length, a lone surrogate).
    static std::optional<std::string> TextAsUtf8(std::string_view bytes);
    // Every line followed by CR LF, the last one included; an empty list gives no bytes.
    std::string Text() const;

    // Raises "Cannot open file %s".
    void LoadFromFile(const std::string& path);
    // Writes the file in place; raises "Cannot create file %s".
    void SaveToFile(const std::string& path) const;

private:
    std::vector<std::string> m_lines;
};

}  // namespace signposter
