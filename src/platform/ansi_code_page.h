// The ANSI code page the POSIX stand-ins name: Windows-1252, as Windows converts
// Unicode text into it (the settings reader's UTF-8 and UTF-16 files).
#pragma once

#include <cstdint>

namespace kestar::platform {

// The Windows-1252 byte of a Unicode character: the character itself, its best fit
// (e.g. 'O' for U+03A9), or '?' where there is none.
char AnsiCharacter(std::uint32_t character);

}  // namespace kestar::platform
