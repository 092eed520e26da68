#include "widetext.h"

std::string WideTextForConsole(const uint8_t* units, uint32_t maxUnits)
{
    std::string text;
    for (uint32_t i = 0; i < maxUnits; i++) {
        uint32_t unit = units[2 * i] | (units[2 * i + 1] << 8);
        if (unit == 0)
            break;
        if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = '?';   // surrogate halves are not worth decoding for a trace
        if (unit < 0x80) {
            text += static_cast<char>(unit);
        } else if (unit < 0x800) {
            text += static_cast<char>(0xC0 | (unit >> 6));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        } else {
            text += static_cast<char>(0xE0 | (unit >> 12));
            text += static_cast<char>(0x80 | ((unit >> 6) & 0x3F));
            text += static_cast<char>(0x80 | (unit & 0x3F));
        }
    }
    return text;
}
