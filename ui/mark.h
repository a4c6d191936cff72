// The drawn Parlow mark: a rounded blue tile with a white pulse line and, for the tray, a
// round badge in the tone of the current status. Computed per pixel; no platform needed.
#pragma once

#include <cstdint>
#include <vector>

namespace vornet::app {

// 0xRRGGBB of the badge for a tone: 0 green, 2 red, anything else amber.
std::uint32_t toneColor(int tone);

// size × size pixels, rows top to bottom, each 0xAARRGGBB (not premultiplied); empty for a
// size below 1.
std::vector<std::uint32_t> renderMark(int size, int tone, bool badge);

}  // namespace vornet::app
