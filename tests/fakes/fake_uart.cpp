#include "fakes/fake_uart.h"

#include "platform/system.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kestar::testing {
namespace {

using platform::Bool;
using platform::Handle;

FakeUart* current = nullptr;

Bool Fail(std::uint32_t error) {
    current->lastError = error;
    return 0;
}

// The device behind a handle; null (with the error set) when it cannot be used.
FakeComDevice* Live(Handle handle, const char* call) {
    auto* device = static_cast<FakeComDevice*>(handle);
    if (handle == nullptr || handle == platform::InvalidHandleValue()) {
        Fail(platform::kErrorInvalidHandle);
        return nullptr;
    }
    device->calls.push_back(call);
    if (device->vanished) {
        Fail(kErrorBadCommand);
        return nullptr;
    }
    return device;
}

int ComNumber(const char* name) {
    if (std::strncmp(name, "\\\\.\\COM", 7) != 0) return 0;
    return std::atoi(name + 7);
}

Handle FakeCreateFileA(const char* name, std::uint32_t access, std::uint32_t share, void*, std::uint32_t creation,
                       std::uint32_t flags, Handle) {
    current->lastOpenedName = name;
    current->lastAccess = access;
    current->lastShare = share;
    current->lastCreation = creation;
    current->lastFlags = flags;
    const int number = ComNumber(name);
    FakeComDevice* device = current->Find(number);
    if (device == nullptr || device->vanished) {
        Fail(platform::kErrorFileNotFound);
        return platform::InvalidHandleValue();
    }
    if (device->inUse || device->open) {
        Fail(platform::kErrorAccessDenied);
        return platform::InvalidHandleValue();
    }
    device->open = true;
    ++current->openHandles;
    return device;
}

Bool FakeSetupComm(Handle h, std::uint32_t in, std::uint32_t out) {
    FakeComDevice* d = Live(h, "SetupComm");
    if (!d) return 0;
    d->setupIn = in;
    d->setupOut = out;
    return 1;
}

Bool FakeGetCommState(Handle h, platform::Dcb* dcb) {
    FakeComDevice* d = Live(h, "GetCommState");
    if (!d) return 0;
    *dcb = d->reportedDcb;
    return 1;
}

Bool FakeSetCommState(Handle h, platform::Dcb* dcb) {
    FakeComDevice* d = Live(h, "SetCommState");
    if (!d) return 0;
    if (d->refuseCommState) return Fail(d->refuseError);
    d->lastDcb = *dcb;
    d->reportedDcb = *dcb;
    ++d->setCommStateCalls;
    return 1;
}

Bool FakeGetCommTimeouts(Handle h, platform::CommTimeouts* t) {
    FakeComDevice* d = Live(h, "GetCommTimeouts");
    if (!d) return 0;
    *t = d->reportedTimeouts;
    return 1;
}

Bool FakeSetCommTimeouts(Handle h, platform::CommTimeouts* t) {
    FakeComDevice* d = Live(h, "SetCommTimeouts");
    if (!d) return 0;
    d->timeouts = *t;
    return 1;
}

Bool FakeGetCommMask(Handle h, std::uint32_t* mask) {
    FakeComDevice* d = Live(h, "GetCommMask");
    if (!d) return 0;
    *mask = d->eventMask;
    return 1;
}

Bool FakeSetCommMask(Handle h, std::uint32_t mask) {
    FakeComDevice* d = Live(h, "SetCommMask");
    if (!d) return 0;
    d->eventMask = mask;
    return 1;
}

Bool FakeClearCommError(Handle h, std::uint32_t* errors, platform::ComStat* stat) {
    FakeComDevice* d = Live(h, "ClearCommError");
    if (!d) return 0;
    if (errors) *errors = d->pendingErrors;
    d->pendingErrors = 0;
    if (stat) {
        stat->cbInQue = static_cast<std::uint32_t>(d->received.size());
        stat->cbOutQue = d->txWaiting + d->HeldWriteBytes();
    }
    return 1;
}

std::uint32_t TakeReceived(FakeComDevice* d, void* buffer, std::uint32_t length) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(length, d->received.size()));
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::uint32_t i = 0; i < n; ++i) {
        bytes[i] = d->received.front();
        d->received.pop_front();
    }
    return n;
}

void Finish(FakeComDevice* d, const FakeComDevice::InFlight& t) {
    std::uint32_t n = t.length;
    if (t.write) {
        const auto* bytes = static_cast<const std::uint8_t*>(t.source);
        d->written.insert(d->written.end(), bytes, bytes + n);
    } else {
        n = TakeReceived(d, t.destination, t.length);
    }
    t.record->Internal = 0;
    t.record->InternalHigh = n;
}

void Cancel(const FakeComDevice::InFlight& t) {
    t.record->Internal = platform::kStatusCancelled;
    t.record->InternalHigh = 0;
}

// Ends the transfers in flight that match; a device that never completes its
// writes keeps them.
template <typename Match>
void CancelWhere(FakeComDevice* d, Match match) {
    std::deque<FakeComDevice::InFlight> kept;
    for (const FakeComDevice::InFlight& t : d->inFlight) {
        if (match(t) && !(t.write && d->writesNeverComplete)) {
            Cancel(t);
        } else {
            kept.push_back(t);
        }
    }
    d->inFlight.swap(kept);
}

// kernel32 marks the record pending before it asks the device; when the device
// refuses at once, the record stays so and nothing ever completes it.
Bool FailUnstarted(platform::Overlapped* o, std::uint32_t error) {
    if (o != nullptr) {
        o->Internal = platform::kStatusPending;
        current->unstarted.insert(o);
    }
    return Fail(error);
}

Bool StartPending(FakeComDevice* d, const FakeComDevice::InFlight& t) {
    t.record->Internal = platform::kStatusPending;
    t.record->InternalHigh = 0;
    d->inFlight.push_back(t);
    return Fail(platform::kErrorIoPending);
}

Bool FakeReadFile(Handle h, void* buffer, std::uint32_t length, std::uint32_t* read, platform::Overlapped* o) {
    FakeComDevice* d = Live(h, "ReadFile");
    if (read) *read = 0;
    if (!d) return 0;
    if (d->Holds(o)) ++d->recordReusedWhileHeld;
    if (d->readFailsWith != 0) {
        d->pendingErrors |= d->readFailsWith;
        return FailUnstarted(o, platform::kErrorGenFailure);
    }
    current->unstarted.erase(o);
    if (d->readsPend) return StartPending(d, {o, nullptr, buffer, length, false});
    const std::uint32_t n = TakeReceived(d, buffer, length);
    o->Internal = 0;
    o->InternalHigh = n;
    if (read) *read = n;
    return 1;
}

Bool FakeWriteFile(Handle h, const void* buffer, std::uint32_t length, std::uint32_t* written,
                   platform::Overlapped* o) {
    FakeComDevice* d = Live(h, "WriteFile");
    if (written) *written = 0;
    if (!d) return 0;
    if (d->Holds(o)) ++d->recordReusedWhileHeld;
    if (d->writeFailsWith != 0) {
        d->pendingErrors |= d->writeFailsWith;
        return FailUnstarted(o, platform::kErrorGenFailure);
    }
    current->unstarted.erase(o);
    const std::uint32_t n = std::min(length, d->acceptLimit);
    // A write behind writes still on the line waits its turn as well.
    if (d->writesPend || d->HeldWrites() > 0) return StartPending(d, {o, buffer, nullptr, n, true});
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    d->written.insert(d->written.end(), bytes, bytes + n);
    o->Internal = 0;
    o->InternalHigh = n;
    if (written) *written = n;
    return 1;
}

Bool FakeGetOverlappedResult(Handle h, platform::Overlapped* o, std::uint32_t* transferred, Bool wait) {
    FakeComDevice* d = Live(h, "GetOverlappedResult");
    if (!d) return 0;
    if (transferred) *transferred = 0;
    if (d->Holds(o)) {
        if (!wait) return Fail(platform::kErrorIoIncomplete);
        // A waiting caller gets the completion, and with it every transfer before it.
        while (!d->inFlight.empty()) {
            const FakeComDevice::InFlight t = d->inFlight.front();
            if (t.write && d->writesNeverComplete) {
                current->reportFailure(
                    "GetOverlappedResult waited for a write the device never completes: this hangs on Windows");
                return Fail(platform::kErrorIoIncomplete);
            }
            d->inFlight.pop_front();
            if (!t.write && d->readCompletionFails) {
                t.record->Internal = platform::kErrorGenFailure;
                t.record->InternalHigh = 0;
            } else {
                Finish(d, t);
            }
            if (t.record == o) break;
        }
    } else if (current->unstarted.count(o) != 0 && o->Internal == platform::kStatusPending) {
        if (wait) {
            current->reportFailure(
                "GetOverlappedResult waited on a record the system never started: this hangs on Windows");
        }
        return Fail(platform::kErrorIoIncomplete);
    }
    if (transferred) *transferred = static_cast<std::uint32_t>(o->InternalHigh);
    if (o->Internal == platform::kStatusCancelled) return Fail(platform::kErrorOperationAborted);
    if (o->Internal != 0) return Fail(platform::kErrorGenFailure);
    return 1;
}

Bool FakePurgeComm(Handle h, std::uint32_t flags) {
    FakeComDevice* d = Live(h, "PurgeComm");
    if (!d) return 0;
    d->calls.back() += " " + std::to_string(flags);
    if (d->purgeFails) return Fail(platform::kErrorInvalidParameter);
    if (flags & platform::kPurgeTxClear) d->txWaiting = 0;
    if (flags & platform::kPurgeRxClear) d->received.clear();
    if (flags & platform::kPurgeTxAbort) CancelWhere(d, [](const FakeComDevice::InFlight& t) { return t.write; });
    if (flags & platform::kPurgeRxAbort) CancelWhere(d, [](const FakeComDevice::InFlight& t) { return !t.write; });
    return 1;
}

Bool FakeEscapeCommFunction(Handle h, std::uint32_t function) {
    FakeComDevice* d = Live(h, "EscapeCommFunction");
    if (!d) return 0;
    d->calls.back() += " " + std::to_string(function);
    return 1;
}

Bool FakeSetCommBreak(Handle h) {
    FakeComDevice* d = Live(h, "SetCommBreak");
    if (!d) return 0;
    d->breakOn = true;
    d->breakSetAt.push_back(platform::System().GetTickCount());
    return 1;
}

Bool FakeClearCommBreak(Handle h) {
    FakeComDevice* d = Live(h, "ClearCommBreak");
    if (!d) return 0;
    d->breakOn = false;
    d->breakClearedAt.push_back(platform::System().GetTickCount());
    return 1;
}

Bool FakeGetCommModemStatus(Handle h, std::uint32_t* word) {
    FakeComDevice* d = Live(h, "GetCommModemStatus");
    if (!d) return 0;
    if (d->modemFails) return Fail(platform::kErrorNotSupported);
    *word = d->modemWord;
    return 1;
}

Bool FakePeekNamedPipe(Handle h, void* buffer, std::uint32_t size, std::uint32_t* read, std::uint32_t* available,
                       std::uint32_t* left) {
    FakeComDevice* d = Live(h, "PeekNamedPipe");
    if (!d) return 0;
    if (d->peekFails) return Fail(1);
    std::uint32_t n = 0;
    if (size > 0 && !d->received.empty()) {
        *static_cast<std::uint8_t*>(buffer) = d->received.front();
        n = 1;
    }
    if (read) *read = n;
    if (available) *available = static_cast<std::uint32_t>(d->received.size());
    if (left) *left = 0;
    return 1;
}

Bool FakeCloseHandle(Handle h) {
    if (h == nullptr || h == platform::InvalidHandleValue()) return Fail(platform::kErrorInvalidHandle);
    if (current->events.erase(h) != 0) {
        delete static_cast<char*>(h);
        return 1;
    }
    auto* d = static_cast<FakeComDevice*>(h);
    d->calls.push_back("CloseHandle");
    if (!d->open) return Fail(platform::kErrorInvalidHandle);
    d->open = false;
    --current->openHandles;
    CancelWhere(d, [](const FakeComDevice::InFlight&) { return true; });  // closing ends what is in flight
    if (d->closeFails) return Fail(platform::kErrorInvalidHandle);
    return 1;
}

std::uint32_t FakeGetLastError() { return current->lastError; }

Handle FakeCreateEventA(void*, Bool, Bool, const char*) {
    Handle event = new char(0);
    current->events.insert(event);
    return event;
}

Bool FakeCancelIo(Handle h) {
    FakeComDevice* d = Live(h, "CancelIo");
    if (!d) return 0;
    ++d->cancelIoCalls;
    CancelWhere(d, [](const FakeComDevice::InFlight&) { return true; });
    return 1;
}

platform::SerialOps FakeOps() {
    platform::SerialOps ops{};
#define KESTAR_FAKE(slot) ops.slot = Fake##slot
    KESTAR_FAKE(CreateFileA); KESTAR_FAKE(SetupComm); KESTAR_FAKE(GetCommState); KESTAR_FAKE(SetCommState);
    KESTAR_FAKE(GetCommTimeouts); KESTAR_FAKE(SetCommTimeouts); KESTAR_FAKE(GetCommMask); KESTAR_FAKE(SetCommMask);
    KESTAR_FAKE(ClearCommError); KESTAR_FAKE(ReadFile); KESTAR_FAKE(WriteFile); KESTAR_FAKE(GetOverlappedResult);
    KESTAR_FAKE(PurgeComm); KESTAR_FAKE(EscapeCommFunction); KESTAR_FAKE(SetCommBreak); KESTAR_FAKE(ClearCommBreak);
    KESTAR_FAKE(GetCommModemStatus); KESTAR_FAKE(PeekNamedPipe); KESTAR_FAKE(CloseHandle); KESTAR_FAKE(GetLastError);
    KESTAR_FAKE(CreateEventA); KESTAR_FAKE(CancelIo);
#undef KESTAR_FAKE
    ops.ClearCommErrorFor = platform::ClearCommErrorWhole;  // the simulated device answers for both queues
    return ops;
}

}  // namespace

void FakeUart::AbortOnFailure(const char* what) {
    std::fprintf(stderr, "simulated UART: %s\n", what);
    std::abort();
}

FakeUart::FakeUart() : ops_(FakeOps()) { current = this; }

FakeUart::~FakeUart() {
    for (Handle event : events) delete static_cast<char*>(event);
    current = nullptr;
}

FakeUart* FakeUart::Current() { return current; }

FakeComDevice& FakeUart::Device(int comNumber) {
    auto& slot = devices_[comNumber];
    if (!slot) {
        slot = std::make_unique<FakeComDevice>();
        slot->reportedDcb.DCBlength = sizeof(platform::Dcb);
        slot->reportedDcb.BaudRate = 1200;
        slot->reportedDcb.ByteSize = 7;
        slot->reportedDcb.fParity = 1;
        slot->reportedDcb.fNull = 1;
        slot->reportedDcb.fOutxCtsFlow = 1;
        slot->reportedDcb.fOutxDsrFlow = 1;
        slot->reportedDcb.fOutX = 1;
        slot->reportedDcb.fInX = 1;
        slot->reportedDcb.fAbortOnError = 1;
        slot->reportedDcb.XonChar = 1;
        slot->reportedDcb.XoffChar = 2;
        slot->reportedDcb.EofChar = 0x1A;
        slot->reportedDcb.EvtChar = 0x0D;
        slot->reportedDcb.ErrorChar = '?';
    }
    return *slot;
}

FakeComDevice* FakeUart::Find(int comNumber) {
    auto found = devices_.find(comNumber);
    return found == devices_.end() ? nullptr : found->second.get();
}

void FakeUart::Remove(int comNumber) { devices_.erase(comNumber); }

void FakeUart::DrainLine(int comNumber, std::size_t count) {
    for (auto& [number, device] : devices_) {
        if (!device || (comNumber != 0 && number != comNumber)) continue;
        std::size_t done = 0;
        while (done < count && !device->inFlight.empty() && device->inFlight.front().write &&
               !device->writesNeverComplete) {
            const FakeComDevice::InFlight t = device->inFlight.front();
            device->inFlight.pop_front();
            Finish(device.get(), t);
            ++done;
        }
    }
}

platform::Overlapped* FakeUart::ForceCompleteOldestWrite(int comNumber) {
    FakeComDevice* device = Find(comNumber);
    if (device == nullptr) return nullptr;
    for (auto t = device->inFlight.begin(); t != device->inFlight.end(); ++t) {
        if (!t->write) continue;
        const FakeComDevice::InFlight write = *t;
        device->inFlight.erase(t);
        Finish(device, write);
        return write.record;
    }
    return nullptr;
}

std::size_t FakeComDevice::HeldWrites() const {
    return static_cast<std::size_t>(std::count_if(inFlight.begin(), inFlight.end(),
                                                  [](const InFlight& t) { return t.write; }));
}

std::uint32_t FakeComDevice::HeldWriteBytes() const {
    std::uint32_t bytes = 0;
    for (const InFlight& t : inFlight) {
        if (t.write) bytes += t.length;
    }
    return bytes;
}

bool FakeComDevice::Holds(const platform::Overlapped* record) const {
    return std::any_of(inFlight.begin(), inFlight.end(), [record](const InFlight& t) { return t.record == record; });
}

}  // namespace kestar::testing
