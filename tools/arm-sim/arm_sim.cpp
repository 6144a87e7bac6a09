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
//   ARMSIM_HOLD_PORT    1: AprePorta opens the port it is given and holds it until
//                       ChiudePorta, as an arm library with a cable on that port does
#include "bench_arm_mark.h"
#include "kestar.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#if !defined(_WIN32)
// The mark the doctor finds in the file (Windows: the version resource, zuroz.rc).
extern "C" __attribute__((used, visibility("default"))) const char kestarBenchArmMark[] = KESTAR_BENCH_ARM_MARK;
#endif

namespace {

long readingNumber = 0;

#if defined(_WIN32)
HANDLE heldPort = INVALID_HANDLE_VALUE;

void HoldPort(const char* portName) {
    const std::string device = std::string("\\\\.\\") + portName;
    heldPort = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

void ReleasePort() {
    if (heldPort != INVALID_HANDLE_VALUE) CloseHandle(heldPort);
    heldPort = INVALID_HANDLE_VALUE;
}
#else
int heldPort = -1;

// The device the module's stand-in opens for COMn: $KESTAR_DEVICES/comn.
void HoldPort(const char* portName) {
    const char* devices = std::getenv("KESTAR_DEVICES");
    if (devices == nullptr || std::strncmp(portName, "COM", 3) != 0) return;
    const std::string path = std::string(devices) + "/com" + (portName + 3);
    heldPort = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (heldPort >= 0) flock(heldPort, LOCK_EX | LOCK_NB);
}

void ReleasePort() {
    if (heldPort >= 0) close(heldPort);
    heldPort = -1;
}
#endif

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
        *nowhere = 1;  // NOLINT(clang-analyzer-core.NullDereference): the simulated processor fault, on purpose
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
    if (EnvInt("ARMSIM_HOLD_PORT", 0) != 0 && portName != nullptr) HoldPort(portName);
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
    ReleasePort();
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
