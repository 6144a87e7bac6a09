// printf-style formatting into a string of whatever length the values need, and
// bounded copies into fixed text fields.
#pragma once

#include "platform/compiler.h"

#include <cstdarg>
#include <cstddef>
#include <string>

namespace kestar::platform {

std::string FormatText(const char* format, ...)
    KESTAR_PRINTF_FORMAT(1, 2);

std::string FormatTextV(const char* format, va_list args);

// Copies text and its terminator into a fixed field, cut to fit; bytes after the
// terminator are left as they were.
template <std::size_t N>
void CopyText(char (&field)[N], const char* text) {
    std::size_t i = 0;
    for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
    field[i] = '\0';
}

// Copies text into a fixed field, cut to fit, the rest zero-filled (always terminated).
template <std::size_t N>
void CopyFixedText(char (&field)[N], const char* text) {
    std::size_t i = 0;
    for (; i + 1 < N && text[i] != '\0'; ++i) field[i] = text[i];
    for (; i < N; ++i) field[i] = '\0';
}

}  // namespace kestar::platform
