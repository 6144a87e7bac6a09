#include "serial/com_write_records.h"

#include "platform/system.h"

#include <cstddef>
#include <cstring>

namespace kestar::serial {
namespace {

using platform::Serial;

// True when the system no longer holds the record (the write succeeded, failed or
// was cancelled); false while it is still in flight.
bool WriteCompleted(ComDriverData* data, WriteRecord* record) {
    const platform::SerialOps& serial = Serial();
    std::uint32_t ignored = 0;
    if (serial.GetOverlappedResult(data->deviceHandle, &record->overlapped, &ignored, 0)) return true;
    return serial.GetLastError() != platform::kErrorIoIncomplete;
}

void Unlink(ComDriverData* data, WriteRecord* previous, WriteRecord* record) {
    if (previous == nullptr) {
        data->heldWrites = record->next;
    } else {
        previous->next = record->next;
    }
    if (data->lastHeldWrite == record) data->lastHeldWrite = previous;
    --data->heldWriteCount;
    data->heldWriteBytes -= record->length;
    record->next = nullptr;
}

WriteRecord* NewRecord(std::uint32_t length) {
    const std::uint32_t capacity = length < kMinWriteCapacity ? kMinWriteCapacity : length;
    if (capacity > 0xFFFFFFFFu - sizeof(WriteRecord)) return nullptr;
    auto* record = static_cast<WriteRecord*>(AllocateBlock(sizeof(WriteRecord) + capacity));
    if (record != nullptr) record->capacity = capacity;
    return record;
}

void FreeSpares(ComDriverData* data) {
    while (WriteRecord* record = data->spareWrites) {
        data->spareWrites = record->next;
        FreeBlock(record);
    }
    data->spareWriteCount = 0;
}

// Waits until no write is held or `until` milliseconds have passed since start,
// bounded by the tick count and, should the clock stand still, by the number of
// one-millisecond sleeps (naps, counted from start too).
void WaitForHeldWrites(ComDriverData* data, std::uint32_t start, std::uint32_t& naps, std::uint32_t until) {
    const platform::SystemOps& system = platform::System();
    for (;; ++naps) {
        ReclaimCompletedWrites(data, true);
        if (data->heldWrites == nullptr || naps >= until || system.GetTickCount() - start >= until) return;
        system.Sleep(1);
    }
}

}  // namespace

void ReclaimCompletedWrites(ComDriverData* data, bool everyWrite) {
    WriteRecord* previous = nullptr;
    WriteRecord* record = data->heldWrites;
    while (record != nullptr) {
        WriteRecord* next = record->next;
        if (WriteCompleted(data, record)) {
            Unlink(data, previous, record);
            ReturnWriteRecord(data, record);
        } else if (!everyWrite) {
            return;
        } else {
            previous = record;
        }
        record = next;
    }
}

WriteRecord* TakeWriteRecord(ComDriverData* data, std::uint32_t length) {
    if (data->heldWriteCount >= kMaxHeldWrites) {
        ReclaimCompletedWrites(data, true);
        if (data->heldWriteCount >= kMaxHeldWrites) return nullptr;
    }
    WriteRecord* record = nullptr;
    if (data->spareWrites != nullptr && data->spareWrites->capacity >= length) {
        record = data->spareWrites;
        data->spareWrites = record->next;
        --data->spareWriteCount;
    } else {
        record = NewRecord(length);
        if (record == nullptr) {
            // Memory is short: what completed writes hold is the only reserve.
            ReclaimCompletedWrites(data, true);
            FreeSpares(data);
            record = NewRecord(length);
            if (record == nullptr) return nullptr;
        }
    }
    record->next = nullptr;
    record->length = 0;
    std::memset(&record->overlapped, 0, sizeof record->overlapped);
    return record;
}

void ReturnWriteRecord(ComDriverData* data, WriteRecord* record) {
    if (data->spareWriteCount >= kMaxSpareWrites) {
        FreeBlock(record);
        return;
    }
    record->next = data->spareWrites;
    data->spareWrites = record;
    ++data->spareWriteCount;
}

void HoldWrite(ComDriverData* data, WriteRecord* record) {
    record->next = nullptr;
    if (data->lastHeldWrite == nullptr) {
        data->heldWrites = record;
    } else {
        data->lastHeldWrite->next = record;
    }
    data->lastHeldWrite = record;
    ++data->heldWriteCount;
    data->heldWriteBytes += record->length;
}

CloseSettlement SettleWritesAtClose(ComDriverData* data) {
    CloseSettlement settlement{};
    const std::uint32_t start = data->heldWrites != nullptr ? platform::System().GetTickCount() : 0;
    std::uint32_t naps = 0;
    if (data->heldWrites != nullptr) WaitForHeldWrites(data, start, naps, kCloseWaitMs - kCloseAbortWaitMs);
    if (data->heldWrites != nullptr) {
        settlement.abortedWrites = data->heldWriteCount;
        settlement.abortedBytes = data->heldWriteBytes;
        const platform::SerialOps& serial = Serial();
        serial.PurgeComm(data->deviceHandle, platform::kPurgeTxAbort);
        serial.CancelIo(data->deviceHandle);
        WaitForHeldWrites(data, start, naps, kCloseWaitMs);
    }
    settlement.leftHeld = data->heldWriteCount;
    // The system may still write into these records: they are never freed.
    data->heldWrites = data->lastHeldWrite = nullptr;
    data->heldWriteCount = 0;
    data->heldWriteBytes = 0;
    FreeSpares(data);
    return settlement;
}

}  // namespace kestar::serial
