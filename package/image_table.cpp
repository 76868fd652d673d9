#include "package/image_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "os/file_io.h"
#include "package/pack_archive.h"

const char *const IMAGE_ENTRY_NAMES[IMAGE_SLOT_COUNT] = {
    "qcsblhd_cfgdata.mbn", "qcsbl.mbn",     "oemsblhd.mbn",   "oemsbl.mbn",
    "amsshd.mbn",          "amss.mbn",      "cefs.mbn",       "appsboothd.mbn",
    "appsboot.mbn",        "boot.img",      "system.img",     "recovery.img",
    "userdata.img",        "AdbWinApi.dll", "DeviceList.dat",
};

const char IMAGE_OPEN_FAILED_TEXT[] = "Open image failed";
const char IMAGE_DESTROYED_TEXT[] = "This file has been destroyed!";

ImageTable g_ImageTable;

namespace {

constexpr ImageFileSeams PRODUCT_IMAGE_FILE_SEAMS = {file_may_be_mapped, FLASHER_FILE_SIZE_LIMIT};

// Reads in pieces: one fread of several GiB is not something every C runtime handles, and the pieces
// still land in the one buffer.
constexpr size_t READ_PIECE = size_t(64) << 20;

inline uint32_t read_le32(const uint8_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

bool read_fully(FILE *file, uint8_t *buffer, uint64_t length) {
    uint64_t done = 0;
    while (done < length) {
        size_t piece = length - done < READ_PIECE ? static_cast<size_t>(length - done) : READ_PIECE;
        size_t got = fread(buffer + done, 1, piece, file);
        if (got != piece)
            return false;
        done += got;
    }
    return true;
}

// read_whole_file for files below LIMIT bytes.
uint8_t *read_whole_file_below(const char *path, uint32_t *size, uint64_t limit) {
    FILE *file = fopen(path, "rb");
    if (!file) {
        printf("open %s failed!\n", path);
        return nullptr;
    }
    // An empty file fails like a short read does; so does one too large to be a payload here.
    int64_t length = file_size64(file);
    uint8_t *buffer = nullptr;
    bool ok = length > 0 && static_cast<uint64_t>(length) < limit;
    if (ok) {
        buffer = static_cast<uint8_t *>(file_buffer_alloc(static_cast<uint64_t>(length) + 1));
        ok = buffer && read_fully(file, buffer, static_cast<uint64_t>(length));
    }
    fclose(file);
    if (!ok) {
        printf("read %s failed!\n", path);
        file_buffer_free(buffer);
        return nullptr;
    }
    buffer[length] = 0;
    if (size)
        *size = static_cast<uint32_t>(length);
    return buffer;
}

} // namespace

ImageFileSeams g_ImageFileSeams = PRODUCT_IMAGE_FILE_SEAMS;

const ImageFileSeams &image_file_product_seams() {
    return PRODUCT_IMAGE_FILE_SEAMS;
}

int image_slot_of_name(const char *name) {
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++)
        if (strcmp(name, IMAGE_ENTRY_NAMES[i]) == 0)
            return i;
    return -1;
}

int image_slot_of_hash(uint32_t hash) {
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++)
        if (pack_name_hash(IMAGE_ENTRY_NAMES[i]) == hash)
            return i;
    return -1;
}

uint8_t *read_whole_file(const char *path, uint32_t *size) {
    return read_whole_file_below(path, size, PAYLOAD_FILE_SIZE_LIMIT);
}

const uint8_t *open_file_buffer(const char *path, uint32_t *size) {
    const uint64_t limit = std::min(g_ImageFileSeams.size_limit, PAYLOAD_FILE_SIZE_LIMIT);
    if (g_ImageFileSeams.may_map(path)) {
        uint64_t mapped = 0;
        if (const uint8_t *mapping = file_map_readonly(path, limit, &mapped)) {
            if (size)
                *size = static_cast<uint32_t>(mapped);
            return mapping;
        }
    }
    // Everything the mapping refused comes here, a missing, empty or too large file included, and fails
    // with the read's own line.
    return read_whole_file_below(path, size, limit);
}

bool file_buffer_is_mapped(const uint8_t *buffer) {
    return file_buffer_is_mapping(buffer);
}

void free_file_buffer(const uint8_t *buffer) {
    file_buffer_free(buffer);
}

PayloadCheck check_payload(const uint8_t *file, uint32_t size, PayloadInfo *info, CPackArchive *archive) {
    PayloadInfo found{};
    PayloadCheck result = PAYLOAD_OK;
    if (!file || size < PAYLOAD_TRAILER_SIZE) {
        result = PAYLOAD_TOO_SHORT;
    } else {
        found.BodyLength = read_le32(file + size - 8);
        found.StoredCrc = read_le32(file + size - 4);
        // In 64 bits: L + 8 overflows 32 for the largest L.
        if (uint64_t(found.BodyLength) + PAYLOAD_TRAILER_SIZE > size) {
            result = PAYLOAD_BAD_LENGTH;
        } else {
            found.BodyOffset = size - PAYLOAD_TRAILER_SIZE - found.BodyLength;
            const uint8_t *body = file + found.BodyOffset;
            found.ComputedCrc = crc32_update(body, found.BodyLength, PACK_HASH_SEED);
            if (found.ComputedCrc != found.StoredCrc) {
                result = PAYLOAD_BAD_CHECKSUM;
            } else {
                // Bytes after the terminator are covered by the checksum but not looked at.
                found.Consumed = archive->ReadFromMemory(body, found.BodyLength);
                if (found.Consumed == 0)
                    result = PAYLOAD_BAD_BODY;
            }
        }
    }
    if (info)
        *info = found;
    return result;
}

const char *index_image_table(const uint8_t *file, uint32_t size, ImageTable *table) {
    CPackArchive archive;
    if (check_payload(file, size, nullptr, &archive) != PAYLOAD_OK)
        return IMAGE_DESTROYED_TEXT;

    // The table is written only from here on, when nothing can fail any more. Lookups go by hash, so when
    // a name occurs twice the record latest in the body wins.
    uint32_t total = 0;
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        ImageSlot &slot = table->Slots[i];
        slot.Data = archive.GetDataByHash(&slot.Size, pack_name_hash(IMAGE_ENTRY_NAMES[i]));
        if (i < IMAGE_COUNTED_SLOTS && slot.Data)
            total += slot.Size;
    }
    table->FileBuffer = file;
    table->TotalImageBytes = total;
    table->ProgressSlice = total / 100;
    return nullptr;
}

const char *load_image_table(const char *path, ImageTable *table) {
    uint32_t size = 0;
    const uint8_t *file = open_file_buffer(path, &size);
    if (!file || size == 0) {
        free_file_buffer(file);
        return IMAGE_OPEN_FAILED_TEXT;
    }
    const char *error = index_image_table(file, size, table);
    if (error)
        free_file_buffer(file);
    return error;
}

const char *payload_check_text(PayloadCheck result) {
    switch (result) {
    case PAYLOAD_OK:
        return "the package is intact";
    case PAYLOAD_TOO_SHORT:
        return "the file is too short to end with a package trailer";
    case PAYLOAD_BAD_LENGTH:
        return "the trailer gives a package length larger than the file";
    case PAYLOAD_BAD_CHECKSUM:
        return "the checksum of the package body does not match the trailer";
    case PAYLOAD_BAD_BODY:
        return "the package body ends before its terminator, or a record runs past its end";
    }
    return "unknown result";
}
