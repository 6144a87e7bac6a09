// Point-list load from arbitrary archive bytes: never reads past the bytes, never
// allocates for records that are not there, and leaves a list that passes its check.
#include "host/point_list.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PointList list{};
    kestar::ConstructPointList(list, size > 0 ? data[0] % 16 : 1);
    kestar::PointArchive archive = kestar::PointArchive::ForLoading(data, size);
    const bool loaded = kestar::LoadPointList(list, archive);
    if (!kestar::CheckPointList(list)) std::abort();
    // Records arrive whole or not at all: 24 bytes each after the count.
    if (static_cast<std::size_t>(list.count) * KESTAR_POINT_RECORD_SIZE > size) std::abort();
    if (loaded) {
        kestar::PointArchive again = kestar::PointArchive::ForStoring();
        kestar::SavePointList(list, again);
        if (again.bytes().size() > size + 4) std::abort();
    }
    kestar::DestroyPointList(list);
    return 0;
}
