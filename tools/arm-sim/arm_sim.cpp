// The arm simulator: a stand-in for the arm maker's library with the same five
// standard-call functions, for end-to-end tests, the demo and site checks
// without an arm.
//
// The path is deterministic: reading n (counted from the last ResetEncoder or
// from loading) lies on a circle of radius 100 around (250, 120), with z slowly
// rising and falling; elements 12 to 14 hold the stylus vector (0, 0, 15).
//
// Behaviour is chosen through the environment, read at every call:
//   ARMSIM_POINT_EVERY  every Nth reading reports status 1, a point taken (default 4, 0 never)
//   ARMSIM_EVENT_EVERY  every Nth reading reports status 2, the event (default 0, never)
//   ARMSIM_THROW        a call name (LeggeQuota, ResetEncoder, AprePorta, ...) or "all":
//                       that call throws; on Windows it raises the exception the way a
//                       library built with the platform compiler reports a C++ throw
//   ARMSIM_FAULT        a call name or "all": that call makes an access violation
//   ARMSIM_LOG          a file that receives one line per call
#include "kestar.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

long readingNumber = 0;

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

bool Selected(const char* variable, const char* call) {
    const char* value = std::getenv(variable);
    return value != nullptr && (std::strcmp(value, call) == 0 || std::strcmp(value, "all") == 0);
}

void Log(const char* format, const char* call, const char* argument) {
    const char* path = std::getenv("ARMSIM_LOG");
    if (path == nullptr || *path == '\0') return;
    if (std::FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, format, call, argument);
        std::fputc('\n', file);
        std::fclose(file);
    }
}

void Fail(const char* call) {
    if (Selected("ARMSIM_FAULT", call)) {
        Log("%s fault%s", call, "");
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    }
    if (Selected("ARMSIM_THROW", call)) {
        Log("%s throw%s", call, "");
#if defined(_WIN32)
        // What a throw of the maker's compiler looks like to its caller.
        RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, nullptr);
#endif
        throw std::runtime_error(std::string("arm simulator: ") + call + " failed");
    }
}

}  // namespace

extern "C" {

int KESTAR_CALL AprePorta(const char* portName) {
    Log("%s %s", "AprePorta", portName != nullptr ? portName : "(null)");
    Fail("AprePorta");
    return 1;
}

int KESTAR_CALL LeggeParametri(char* tablePath) {
    Log("%s %s", "LeggeParametri", tablePath != nullptr ? tablePath : "(null)");
    Fail("LeggeParametri");
    return 1;
}

int KESTAR_CALL ChiudePorta() {
    Log("%s%s", "ChiudePorta", "");
    Fail("ChiudePorta");
    return 1;
}

#if !defined(ARMSIM_WITHOUT_LEGGEQUOTA)
int KESTAR_CALL LeggeQuota(double* reading, int* status) {
    Fail("LeggeQuota");
    const long n = ++readingNumber;
    const double angle = 0.1 * static_cast<double>(n);
    for (int i = 0; i < 26; ++i) reading[i] = 0.0;
    reading[0] = 250.0 + 100.0 * std::cos(angle);
    reading[1] = 120.0 + 100.0 * std::sin(angle);
    reading[2] = 40.0 + 5.0 * std::sin(0.05 * static_cast<double>(n));
    for (int joint = 0; joint < 6; ++joint) reading[3 + joint] = angle * (joint + 1);
    reading[14] = 15.0;

    const int pointEvery = EnvInt("ARMSIM_POINT_EVERY", 4);
    const int eventEvery = EnvInt("ARMSIM_EVENT_EVERY", 0);
    int result = 0;
    if (pointEvery > 0 && n % pointEvery == 0) {
        result = 1;
    } else if (eventEvery > 0 && n % eventEvery == 0) {
        result = 2;
    }
    *status = result;
    char text[32];
    std::snprintf(text, sizeof text, "%ld %d", n, result);
    Log("%s %s", "LeggeQuota", text);
    return 1;
}

#endif  // ARMSIM_WITHOUT_LEGGEQUOTA

int KESTAR_CALL ResetEncoder() {
    Log("%s%s", "ResetEncoder", "");
    Fail("ResetEncoder");
    readingNumber = 0;
    return 1;
}

}  // extern "C"
