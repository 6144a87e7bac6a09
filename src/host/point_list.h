// The point list: a module-wide ordered list of 24-byte point records that the
// callback pump hands to the host by reference. Its layout is part of the binary
// contract (include/kestar.h declares it): a reference to its table of five
// operations, then head, tail, count, free chain, block chain and block size.
// Nodes come from blocks of block-size nodes, taken from the module's heap
// (platform::Memory); only remove-all gives blocks back.
#pragma once

#include "kestar.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestar {

constexpr int kPointListBlockSize = 10;

// The module's archive: a byte store that is either written (storing) or read.
class PointArchive {
public:
    static PointArchive ForStoring();
    static PointArchive ForLoading(const void* bytes, std::size_t size);

    bool IsStoring() const { return storing_; }
    const std::vector<unsigned char>& bytes() const { return bytes_; }

    void Write(const void* data, std::size_t size);
    // Reads exactly size bytes, or nothing and false when fewer are left.
    bool Read(void* data, std::size_t size);

    // Counts: 16-bit little-endian below 65535, else 65535 and a 32-bit count.
    void WriteCount(std::uint32_t count);
    bool ReadCount(std::uint32_t& count);

private:
    explicit PointArchive(bool storing) : storing_(storing) {}
    bool storing_;
    std::vector<unsigned char> bytes_;
    std::size_t readPosition_ = 0;
};

// The module's diagnostic dump context: text gathered with a depth for detail.
class DumpContext {
public:
    explicit DumpContext(int depth = 0) : depth_(depth) {}
    int depth() const { return depth_; }
    const std::string& text() const { return text_; }
    DumpContext& operator<<(const char* text);
    DumpContext& operator<<(int value);

private:
    int depth_;
    std::string text_;
};

void ConstructPointList(PointList& list, int blockSize);
void DestroyPointList(PointList& list);

// Copies the record to a new node at the tail; nullptr (list unchanged) when no
// node block can be allocated.
PointNode* AppendPoint(PointList& list, const PointRecord& record);
void RemoveAllPoints(PointList& list);

void SavePointList(const PointList& list, PointArchive& archive);
// Appends the archived records. Stops at the first record that does not arrive
// whole, keeping those before it, and returns false then.
bool LoadPointList(PointList& list, PointArchive& archive);
// Stores or loads, as the archive says; false when loading failed.
bool SerializePointList(PointList& list, PointArchive& archive);

// The list's invariants: count 0 exactly when head and tail are none, the links
// agree in both directions and with the count, block size at least 1.
bool CheckPointList(const PointList& list);
void DumpPointList(const PointList& list, DumpContext& context);

// The class record a point list reports through its first operation: the
// framework base's own (KESTAR_OBJECT_CLASS_NAME), not one of the list's.
const KestarClassRecord& SerializableObjectClass();

// The module's one point list: built empty (block size 10) at load, emptied at unload.
PointList& ModulePointList();

}  // namespace kestar
