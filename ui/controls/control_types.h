#pragma once

#include <QColor>

#include <cstdint>

// Small vocabulary shared by the custom controls.
namespace signposter::ui {

// Horizontal placement of a caption. The check box only tells the two justified values apart (its box
// goes to the side opposite the caption) and treats anything but taLeftJustify as taRightJustify.
enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// Colour values as the settings and the window describe them: red in the low byte, then green, then blue
// (silver is 0xC0C0C0, 11119017 is red, green and blue 169). Values with the top bit set name a system
// colour and are resolved through the application palette.
using TColor = std::uint32_t;
QColor ColorFromValue(TColor value);

}  // namespace signposter::ui
