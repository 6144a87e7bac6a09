// What the code asks of the compiler beyond standard C++, in one place: each
// construct in its GCC (and Clang) form and, beside it, its Visual C++ form.
#pragma once

#if defined(_MSC_VER) && !defined(__clang__)

// Visual C++ checks printf formats through its own annotations only; none is needed.
#define KESTAR_PRINTF_FORMAT(formatIndex, firstArgument)
#define KESTAR_NOINLINE __declspec(noinline)
// An object nothing refers to stays in the file: MSVC keeps unreferenced data of
// an object file unless /OPT:REF drops it, which the build's MSVC flags leave off.
#define KESTAR_KEEP
#define KESTAR_WARNINGS_PUSH __pragma(warning(push))
#define KESTAR_WARNINGS_POP __pragma(warning(pop))
#define KESTAR_IGNORE_DEPRECATED __pragma(warning(disable : 4996))
// MSVC does not warn of a zero flag beside a precision.
#define KESTAR_IGNORE_FORMAT

#else

#define KESTAR_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#define KESTAR_NOINLINE __attribute__((noinline))
#define KESTAR_KEEP __attribute__((used))
#define KESTAR_WARNINGS_PUSH _Pragma("GCC diagnostic push")
#define KESTAR_WARNINGS_POP _Pragma("GCC diagnostic pop")
#define KESTAR_IGNORE_DEPRECATED _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define KESTAR_IGNORE_FORMAT _Pragma("GCC diagnostic ignored \"-Wformat\"")

#endif
