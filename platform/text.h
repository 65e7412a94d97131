#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Small text helpers shared by the publishing core and the FTP client. Text is bytes.
namespace signposter::text {

// Removes leading and trailing bytes of value 32 or below (the general "trimmed").
std::string Trim(std::string_view s);
// Removes leading and trailing spaces (byte 32) only.
std::string TrimSpaces(std::string_view s);
// Upper-cases ASCII a..z; every other byte is kept.
std::string UpperAscii(std::string_view s);
bool Contains(std::string_view haystack, std::string_view needle);
// True when the text holds a CR or an LF.
bool HasLineBreak(std::string_view s);
// The lines of a text: CR, LF and CR LF each end one; a last line without an ending still counts.
std::vector<std::string> SplitLines(std::string_view s);
// The text on one line: every run of CR and LF becomes one space, none doubled after a space.
std::string OneLine(std::string_view s);
// The text with every control byte (0 to 31 but tab, and 127) written as a visible escape such as "\x1b",
// for showing text that came from the network on a terminal or in a widget: it can then neither drive
// the terminal nor be cut short by a NUL.
std::string Printable(std::string_view s);
// The value of a hexadecimal digit (either case), or -1.
int HexDigitValue(char c);
// Two upper-case hexadecimal digits per byte.
std::string HexUpper(std::string_view bytes);
std::string ReplaceAll(std::string s, char from, char to);

// The standard integer reading: leading spaces skipped; an optional sign and decimal digits, or a
// hexadecimal number introduced by "$", "x", "X", "0x" or "0X" (no sign); nothing may follow.
// Decimal values must fit 32 bits signed; hexadecimal ones may use all 32 bits and wrap, so "$FFFFFFFF"
// is -1. Returns nothing when the text does not have that form.
std::optional<std::int32_t> TryStrictInteger(std::string_view s);
// Same reading; a text that does not fit raises EConvertError "'%s' is not a valid integer value".
std::int32_t StrictInteger(std::string_view s);
// The settings store's lenient reading: the same grammar, but a text that stops fitting yields the value
// read so far ("1abc" is 1, "abc" is 0). Values wrap to 32 bits.
std::int32_t LenientInteger(std::string_view s);

}  // namespace signposter::text
