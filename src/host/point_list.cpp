#include "point_list.h"

#include "platform/memory.h"

#include <cstdio>
#include <cstdint>
#include <cstring>
#include <new>

struct PointBlock {
    PointBlock* next;
    // followed by blockSize nodes
};

namespace kestar {
namespace {

constexpr std::uint16_t kLongCountMarker = 0xFFFF;

PointNode* BlockNodes(PointBlock* block) { return reinterpret_cast<PointNode*>(block + 1); }

// Takes a node from the front of the free chain, allocating a block of
// blockSize nodes when the chain is empty.
PointNode* TakeFreeNode(PointList& list) {
    if (list.freeChain == nullptr) {
        const std::size_t nodes = static_cast<std::size_t>(list.blockSize);
        if (nodes > (SIZE_MAX - sizeof(PointBlock)) / sizeof(PointNode)) return nullptr;
        // Zero-filled: a node's record is all zeros until a record is copied in.
        void* memory = platform::Memory().calloc(1, sizeof(PointBlock) + nodes * sizeof(PointNode));
        if (memory == nullptr) return nullptr;
        PointBlock* block = static_cast<PointBlock*>(memory);
        block->next = list.blockChain;
        list.blockChain = block;
        PointNode* node = BlockNodes(block);
        // In block order: the first node of the block is the first handed out.
        for (std::size_t i = nodes; i-- > 0;) {
            node[i].next = list.freeChain;
            list.freeChain = &node[i];
        }
    }
    PointNode* node = list.freeChain;
    if (node == nullptr) return nullptr;  // a block of no nodes: nothing to hand out
    list.freeChain = node->next;
    return node;
}

// The five operations as a C++ host calls them (KESTAR_MEMBER_CALL, the list as the object).
const KestarClassRecord* KESTAR_MEMBER_CALL ClassQueryOperation(const PointList*) { return &SerializableObjectClass(); }

// The deleting destructor: the flags' request to free the object is not followed,
// because no point list's storage comes from a heap the host could free it into
// (the module's own list is a module-wide object).
void* KESTAR_MEMBER_CALL DestroyOperation(PointList* list, unsigned int /*flags*/) {
    DestroyPointList(*list);
    return list;
}

int KESTAR_MEMBER_CALL SerializeOperation(PointList* list, void* archive) {
    return SerializePointList(*list, *static_cast<PointArchive*>(archive)) ? 1 : 0;
}

int KESTAR_MEMBER_CALL SelfCheckOperation(const PointList* list) { return CheckPointList(*list) ? 1 : 0; }

void KESTAR_MEMBER_CALL DumpOperation(const PointList* list, void* context) {
    DumpPointList(*list, *static_cast<DumpContext*>(context));
}

const PointListOperations kOperations = {ClassQueryOperation, DestroyOperation, SerializeOperation,
                                         SelfCheckOperation, DumpOperation};

}  // namespace

PointArchive PointArchive::ForStoring() { return PointArchive(true); }

PointArchive PointArchive::ForLoading(const void* bytes, std::size_t size) {
    PointArchive archive(false);
    const unsigned char* begin = static_cast<const unsigned char*>(bytes);
    archive.bytes_.assign(begin, begin + size);
    return archive;
}

void PointArchive::Write(const void* data, std::size_t size) {
    const unsigned char* begin = static_cast<const unsigned char*>(data);
    bytes_.insert(bytes_.end(), begin, begin + size);
}

bool PointArchive::Read(void* data, std::size_t size) {
    if (bytes_.size() - readPosition_ < size) return false;
    std::memcpy(data, bytes_.data() + readPosition_, size);
    readPosition_ += size;
    return true;
}

void PointArchive::WriteCount(std::uint32_t count) {
    if (count < kLongCountMarker) {
        const unsigned char shortCount[2] = {static_cast<unsigned char>(count), static_cast<unsigned char>(count >> 8)};
        Write(shortCount, 2);
        return;
    }
    const unsigned char longCount[6] = {0xFF,
                                        0xFF,
                                        static_cast<unsigned char>(count),
                                        static_cast<unsigned char>(count >> 8),
                                        static_cast<unsigned char>(count >> 16),
                                        static_cast<unsigned char>(count >> 24)};
    Write(longCount, 6);
}

bool PointArchive::ReadCount(std::uint32_t& count) {
    unsigned char shortCount[2];
    if (!Read(shortCount, 2)) return false;
    count = static_cast<std::uint32_t>(shortCount[0] | (shortCount[1] << 8));
    if (count != kLongCountMarker) return true;
    unsigned char longCount[4];
    if (!Read(longCount, 4)) return false;
    count = static_cast<std::uint32_t>(longCount[0]) | static_cast<std::uint32_t>(longCount[1]) << 8 |
            static_cast<std::uint32_t>(longCount[2]) << 16 | static_cast<std::uint32_t>(longCount[3]) << 24;
    return true;
}

DumpContext& DumpContext::operator<<(const char* text) {
    text_ += text;
    return *this;
}

DumpContext& DumpContext::operator<<(int value) {
    text_ += std::to_string(value);
    return *this;
}

void ConstructPointList(PointList& list, int blockSize) {
    list.operations = &kOperations;
    list.head = nullptr;
    list.tail = nullptr;
    list.count = 0;
    list.freeChain = nullptr;
    list.blockChain = nullptr;
    list.blockSize = blockSize > 0 ? blockSize : 1;
}

void DestroyPointList(PointList& list) { RemoveAllPoints(list); }

PointNode* AppendPoint(PointList& list, const PointRecord& record) {
    PointNode* node = TakeFreeNode(list);
    if (node == nullptr) return nullptr;
    node->next = nullptr;
    node->previous = list.tail;
    node->record = record;
    if (list.tail != nullptr) {
        list.tail->next = node;
    } else {
        list.head = node;
    }
    list.tail = node;
    ++list.count;
    return node;
}

void RemoveAllPoints(PointList& list) {
    PointBlock* block = list.blockChain;
    while (block != nullptr) {
        PointBlock* next = block->next;
        platform::Memory().free(block);
        block = next;
    }
    list.head = nullptr;
    list.tail = nullptr;
    list.count = 0;
    list.freeChain = nullptr;
    list.blockChain = nullptr;
}

void SavePointList(const PointList& list, PointArchive& archive) {
    archive.WriteCount(static_cast<std::uint32_t>(list.count));
    for (const PointNode* node = list.head; node != nullptr; node = node->next) {
        archive.Write(&node->record, sizeof node->record);
    }
}

bool LoadPointList(PointList& list, PointArchive& archive) {
    std::uint32_t count = 0;
    if (!archive.ReadCount(count)) return false;
    // One record at a time: nothing is allocated for a record whose bytes are not there.
    for (std::uint32_t i = 0; i < count; ++i) {
        PointRecord record;
        if (!archive.Read(&record, sizeof record)) return false;
        if (AppendPoint(list, record) == nullptr) return false;
    }
    return true;
}

bool SerializePointList(PointList& list, PointArchive& archive) {
    if (archive.IsStoring()) {
        SavePointList(list, archive);
        return true;
    }
    return LoadPointList(list, archive);
}

bool CheckPointList(const PointList& list) {
    if (list.blockSize < 1 || list.count < 0) return false;
    if ((list.count == 0) != (list.head == nullptr && list.tail == nullptr)) return false;
    if ((list.head == nullptr) != (list.tail == nullptr)) return false;
    int walked = 0;
    const PointNode* previous = nullptr;
    for (const PointNode* node = list.head; node != nullptr; node = node->next) {
        if (node->previous != previous || ++walked > list.count) return false;
        previous = node;
    }
    return walked == list.count && previous == list.tail;
}

void DumpPointList(const PointList& list, DumpContext& context) {
    char baseLine[64];
    std::snprintf(baseLine, sizeof baseLine, "a %s at $%p\n", SerializableObjectClass().name,
                  static_cast<const void*>(&list));
    context << baseLine << "with " << list.count << " elements";
    if (context.depth() > 0) {
        for (const PointNode* node = list.head; node != nullptr; node = node->next) context << "\n";
    }
    context << "\n";
}

const KestarClassRecord& SerializableObjectClass() {
    // The base's objects hold only the reference to their table of operations.
    static const KestarClassRecord record{KESTAR_OBJECT_CLASS_NAME, static_cast<int>(sizeof(void*))};
    return record;
}

namespace {

// Built at load, emptied at unload, by the runtime around the module.
struct ModulePointListOwner {
    PointList list;
    ModulePointListOwner() { ConstructPointList(list, kPointListBlockSize); }
    ~ModulePointListOwner() { RemoveAllPoints(list); }
};

ModulePointListOwner modulePointList;

}  // namespace

PointList& ModulePointList() { return modulePointList.list; }

}  // namespace kestar
