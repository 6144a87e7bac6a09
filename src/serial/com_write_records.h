// The records of a port's writes: each write the system leaves pending keeps its
// own overlapped record and its own copy of the bytes until the system completes
// it. Completed records are reclaimed, oldest first, and kept for reuse.
#pragma once

#include "serial/com_driver.h"

#include <cstdint>

namespace kestar::serial {

// Writes one port may have in flight at once. Each holds at least one byte of the
// transmit queue, so below this the queue's size is what limits them.
constexpr std::uint32_t kMaxHeldWrites = 65536;
// Completed records a port keeps for its next writes.
constexpr std::uint32_t kMaxSpareWrites = 128;
// The smallest copy a record is made with, so that single characters share records.
constexpr std::uint32_t kMinWriteCapacity = 16;
// How long Close waits, in all, for the writes it holds: first for them to complete,
// then, for the last kCloseAbortWaitMs of it, for the system to give back the
// records of those it had to abort.
constexpr std::uint32_t kCloseWaitMs = 500;
constexpr std::uint32_t kCloseAbortWaitMs = 100;

// What closing did with the writes still held.
struct CloseSettlement {
    std::uint32_t abortedWrites;  // not completed within the wait: aborted
    std::uint32_t abortedBytes;   // the bytes of those writes, some of which may have left
    std::uint32_t leftHeld;       // records the system kept even so: left allocated
};

// Gives back the records of completed writes. Serial writes complete in order, so
// the walk normally stops at the first write still held; everyWrite goes through all.
void ReclaimCompletedWrites(ComDriverData* data, bool everyWrite);

// A free record whose copy can hold length bytes; null when none can be had.
WriteRecord* TakeWriteRecord(ComDriverData* data, std::uint32_t length);

// The system completed the write at once (or never started it): the record is free again.
void ReturnWriteRecord(ComDriverData* data, WriteRecord* record);

// The system keeps the record until it completes the write.
void HoldWrite(ComDriverData* data, WriteRecord* record);

// At close: waits for the held writes to complete (Write reported their bytes as
// taken), then aborts only those still held, clearing nothing the device has
// queued, and waits for their records; all within kCloseWaitMs. Records the
// system still holds stay allocated (freeing them would let the system write into
// freed memory); every other record is freed.
CloseSettlement SettleWritesAtClose(ComDriverData* data);

}  // namespace kestar::serial
