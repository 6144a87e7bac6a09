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
// How long Close waits, in all, for the system to give back the records it holds.
constexpr std::uint32_t kCloseWaitMs = 500;

// Gives back the records of completed writes. Serial writes complete in order, so
// the walk normally stops at the first write still held; everyWrite goes through all.
void ReclaimCompletedWrites(ComDriverData* data, bool everyWrite);

// A free record whose copy can hold length bytes; null when none can be had.
WriteRecord* TakeWriteRecord(ComDriverData* data, std::uint32_t length);

// The system completed the write at once (or never started it): the record is free again.
void ReturnWriteRecord(ComDriverData* data, WriteRecord* record);

// The system keeps the record until it completes the write.
void HoldWrite(ComDriverData* data, WriteRecord* record);

// At close: purges and cancels what is still in flight, waits at most kCloseWaitMs
// for the system to give the records back, and leaves those it still holds
// allocated (freeing them would let the system write into freed memory). Frees
// every other record. Returns the number of records left allocated.
std::uint32_t SettleWritesAtClose(ComDriverData* data);

}  // namespace kestar::serial
