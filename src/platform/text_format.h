// printf-style formatting into a string of whatever length the values need.
#pragma once

#include <cstdarg>
#include <string>

namespace kestar::platform {

std::string FormatText(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

std::string FormatTextV(const char* format, va_list args);

}  // namespace kestar::platform
