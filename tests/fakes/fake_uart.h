// A simulated UART behind the serial seam: COM devices with receive and transmit
// queues, injected line errors, a transmit queue that fills, writes left pending,
// a device that vanishes and a control block the device refuses.
//
// Overlapped transfers follow the system's rules: one that cannot complete at
// once marks its record pending, keeps the caller's buffer address and moves its
// bytes only when it completes (the line drains it, or a caller waits for it);
// CancelIo and a transmit abort complete it with "operation aborted". A wait on a
// record the device never started (its ReadFile or WriteFile failed outright)
// would block forever on Windows: here it is reported through reportFailure
// (which a test points at its own failure report) instead.
#pragma once

#include "platform/serial.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace kestar::testing {

struct FakeComDevice {
    // What the test sets up.
    bool inUse = false;                  // CreateFileA fails with error 5
    std::deque<std::uint8_t> received;   // bytes waiting in the receive queue
    std::uint32_t txWaiting = 0;         // cbOutQue: bytes not yet transmitted
    std::uint32_t acceptLimit = 0xFFFFFFFFu;  // WriteFile takes at most this many bytes a call
    std::uint32_t pendingErrors = 0;     // error word of the next ClearCommError (then cleared)
    bool writesPend = false;             // WriteFile answers ERROR_IO_PENDING; the line drains it later
    bool writesNeverComplete = false;    // pending writes ignore drains, waits, purges and CancelIo
    bool readsPend = false;              // ReadFile answers ERROR_IO_PENDING; completion brings the bytes
    bool readCompletionFails = false;    // GetOverlappedResult of a read fails
    std::uint32_t readFailsWith = 0;     // non-zero: ReadFile fails, leaving this error word
    std::uint32_t writeFailsWith = 0;    // non-zero: WriteFile fails, leaving this error word
    bool vanished = false;               // every call but CloseHandle fails with kErrorBadCommand
    bool refuseCommState = false;        // SetCommState fails with refuseError
    std::uint32_t refuseError = platform::kErrorInvalidParameter;
    bool purgeFails = false;             // PurgeComm fails with error 87
    bool peekFails = false;              // PeekNamedPipe fails with error 1 (not a pipe)
    bool modemFails = false;             // GetCommModemStatus fails with error 50
    bool closeFails = false;             // CloseHandle fails with error 6
    std::uint32_t modemWord = 0;
    platform::Dcb reportedDcb{};         // what GetCommState reports
    platform::CommTimeouts reportedTimeouts{1, 2, 3, 4, 5};
    std::uint32_t eventMask = 0x1FF;

    // What the driver did.
    bool open = false;
    std::vector<std::uint8_t> written;   // every byte WriteFile took
    platform::Dcb lastDcb{};             // the last control block written
    int setCommStateCalls = 0;
    std::uint32_t setupIn = 0, setupOut = 0;
    platform::CommTimeouts timeouts{};
    bool breakOn = false;
    std::vector<std::uint32_t> breakSetAt, breakClearedAt;  // tick counts
    std::vector<std::string> calls;      // "EscapeCommFunction 6", "CloseHandle", ...
    // Transfers started and not yet completed, oldest first.
    struct InFlight {
        platform::Overlapped* record;
        const void* source;   // a write's buffer, read at completion
        void* destination;    // a read's buffer, filled at completion
        std::uint32_t length;
        bool write;
    };
    std::deque<InFlight> inFlight;
    int recordReusedWhileHeld = 0;       // ReadFile/WriteFile given a record still in flight
    int cancelIoCalls = 0;

    std::size_t HeldWrites() const;
    std::uint32_t HeldWriteBytes() const;
    bool Holds(const platform::Overlapped* record) const;
};

constexpr std::uint32_t kErrorBadCommand = 22;

// Installs the simulated UART for its lifetime (one at a time).
class FakeUart {
public:
    FakeUart();
    ~FakeUart();
    FakeUart(const FakeUart&) = delete;
    FakeUart& operator=(const FakeUart&) = delete;

    // The device of COM number (1 is COM1), created present on first use.
    FakeComDevice& Device(int comNumber);
    // The device of COM number, or null when none was set up.
    FakeComDevice* Find(int comNumber);
    // CreateFileA of this number fails with error 2 (as for a number never set up).
    void Remove(int comNumber);
    // The line drains: up to count pending writes of the device complete, oldest
    // first, their bytes taken from the buffers they were given (0: every device).
    void DrainLine(int comNumber, std::size_t count = static_cast<std::size_t>(-1));
    void CompletePendingWrite(int comNumber) { DrainLine(comNumber); }
    // A held write that never completed completes now; the test then gives back
    // the record the driver left allocated.
    platform::Overlapped* ForceCompleteOldestWrite(int comNumber);

    std::string lastOpenedName;
    std::uint32_t lastAccess = 0, lastShare = 0, lastCreation = 0, lastFlags = 0;
    int openHandles = 0;
    std::uint32_t lastError = 0;

    static FakeUart* Current();

    // Records whose ReadFile or WriteFile failed outright: the system never started them.
    std::set<const platform::Overlapped*> unstarted;
    std::set<platform::Handle> events;  // events made by CreateEventA and not yet closed
    // Called for a wait that would never end; by default prints and aborts.
    void (*reportFailure)(const char* what) = AbortOnFailure;
    static void AbortOnFailure(const char* what);

private:
    std::map<int, std::unique_ptr<FakeComDevice>> devices_;
    platform::ScopedSerialOps ops_;
};

}  // namespace kestar::testing
