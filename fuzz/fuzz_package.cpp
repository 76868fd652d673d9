// Outside bytes into the payload path: the locator's checks and indexing, the container's parse, and the
// CRC engines against the table.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "package/crc32.h"
#include "package/image_table.h"
#include "package/pack_archive.h"

namespace {

void require(bool condition) {
    if (!condition)
        abort();
}

bool inside(const uint8_t *p, uint32_t size, const uint8_t *begin, uint32_t length) {
    return p >= begin && p <= begin + length && size <= length - (p - begin);
}

// Every slot the locator filled must view bytes of the file, and the totals must follow from the slots.
void check_table(const ImageTable &table, const uint8_t *file, uint32_t size) {
    uint64_t total = 0;
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        const ImageSlot &slot = table.Slots[i];
        if (!slot.Data)
            continue;
        require(slot.Size > 0 && inside(slot.Data, slot.Size, file, size));
        if (i < IMAGE_COUNTED_SLOTS)
            total += slot.Size;
    }
    require(table.FileBuffer == file && table.TotalImageBytes == total && table.ProgressSlice == total / 100);
}

void append_le32(std::vector<uint8_t> *out, uint32_t v) {
    for (int i = 0; i < 4; i++)
        out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t length) {
    if (length > (1u << 24))
        return 0;
    const uint32_t size = static_cast<uint32_t>(length);

    // The input as a whole flasher file.
    std::vector<uint8_t> file(data, data + size);
    ImageTable table{};
    if (!index_image_table(file.data(), size, &table))
        check_table(table, file.data(), size);

    // The input as a package body: the parse stays inside it, and what it takes serializes back to the
    // same bytes.
    CPackArchive archive;
    uint32_t consumed = archive.ReadFromMemory(data, size);
    if (consumed == 0) {
        require(archive.GetFirst() == nullptr);
    } else {
        require(consumed <= size && consumed == archive.GetSerializedLength());
        for (CPackEntry *entry = archive.GetFirst(); entry; entry = archive.GetNext(entry))
            require(entry->GetSize() == 0 ? entry->GetData() == nullptr
                                          : inside(entry->GetData(), entry->GetSize(), data, size));
        std::vector<uint8_t> again(consumed);
        require(archive.WriteToMemory(again.data(), consumed) == consumed);
        require(std::equal(again.begin(), again.end(), data));
    }

    // The same body behind a good trailer reaches the locator's parse, and the locator agrees with it.
    std::vector<uint8_t> wrapped(data, data + size);
    append_le32(&wrapped, size);
    append_le32(&wrapped, size != 0 ? crc32_update(data, size, PACK_HASH_SEED) : PACK_HASH_SEED);
    ImageTable wrapped_table{};
    const char *verdict =
        index_image_table(wrapped.data(), static_cast<uint32_t>(wrapped.size()), &wrapped_table);
    require((verdict == nullptr) == (consumed != 0));
    if (!verdict)
        check_table(wrapped_table, wrapped.data(), static_cast<uint32_t>(wrapped.size()));

    // Every engine gives the table's result, from a value taken from the input.
    uint32_t value = size >= 4 ? uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 |
                                     uint32_t(data[3]) << 24
                               : 0;
    uint32_t expected = crc32_update_table(data, size, value);
    for (Crc32Engine engine : {CRC32_ENGINE_PCLMUL, CRC32_ENGINE_VPCLMUL256, CRC32_ENGINE_VPCLMUL512})
        require(crc32_update_with(engine, data, size, value) == expected);
    return 0;
}
