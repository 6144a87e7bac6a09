#include "platform/text_format.h"

#include <cstdio>

namespace kestar::platform {

std::string FormatTextV(const char* format, va_list args) {
    char local[256];
    va_list again;
    va_copy(again, args);
    const int needed = std::vsnprintf(local, sizeof local, format, args);
    std::string text;
    if (needed >= 0 && static_cast<unsigned>(needed) < sizeof local) {
        text.assign(local, static_cast<std::size_t>(needed));
    } else if (needed >= 0) {
        text.resize(static_cast<std::size_t>(needed) + 1);
        std::vsnprintf(&text[0], text.size(), format, again);
        text.resize(static_cast<std::size_t>(needed));
    }
    va_end(again);
    return text;
}

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = FormatTextV(format, args);
    va_end(args);
    return text;
}

}  // namespace kestar::platform
