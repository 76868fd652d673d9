// The payload locator and the image table.
//
// The firmware travels at the end of the program's own file: any prefix (the executable), then a package
// body (package/pack_archive.h), then an 8-byte trailer of two u32 little-endian values, the body length L
// and crc32_update of the L body bytes from PACK_HASH_SEED. Nothing marks where the body starts: it is
// found from the end of the file alone.
//
// At start-up the window passes its own path to load_image_table, which maps the file (or reads it whole
// where a mapping is not safe), checks the trailer and the checksum, parses the body and fills the image
// table with views into the file buffer.
#pragma once

#include <cstddef>
#include <cstdint>

class CPackArchive;

// Slots of the image table, in table order. The first 13 are the firmware images, counted in
// TotalImageBytes; the worker flashes the first 12 (userdata.img is carried and counted only).
enum ImageSlotIndex : int {
    SLOT_QCSBLHD_CFGDATA = 0,
    SLOT_QCSBL = 1,
    SLOT_OEMSBLHD = 2,
    SLOT_OEMSBL = 3,
    SLOT_AMSSHD = 4,
    SLOT_AMSS = 5,
    SLOT_CEFS = 6,
    SLOT_APPSBOOTHD = 7,
    SLOT_APPSBOOT = 8,
    SLOT_BOOT = 9,
    SLOT_SYSTEM = 10,
    SLOT_RECOVERY = 11,
    SLOT_USERDATA = 12,
    SLOT_DRIVER_LIBRARY = 13,
    SLOT_DEVICE_LIST = 14,
};

inline constexpr int IMAGE_SLOT_COUNT = 15;
inline constexpr int IMAGE_COUNTED_SLOTS = 13; // slots 0..12 make up TotalImageBytes

// Entry names of the slots, in table order ("qcsblhd_cfgdata.mbn" ... "AdbWinApi.dll", "DeviceList.dat").
extern const char *const IMAGE_ENTRY_NAMES[IMAGE_SLOT_COUNT];

// The slot index of entry NAME (exact, case-sensitive), or -1 when it is not a known entry.
int image_slot_of_name(const char *name);

// The slot index of an entry with name hash HASH, or -1.
int image_slot_of_hash(uint32_t hash);

// Images are sent with a signed 32-bit length, so the largest is 2 GiB - 1 byte; a flasher file must stay
// below 4 GiB, since the trailer's length is 32-bit.
inline constexpr uint32_t IMAGE_SIZE_MAX = 0x7FFFFFFFu;
inline constexpr uint64_t PAYLOAD_FILE_SIZE_LIMIT = uint64_t(1) << 32; // exclusive

// The largest flasher file a flasher built for POINTER_SIZE-byte addresses loads (exclusive). The whole
// file must fit in the address space in one piece, mapped or read; a 32-bit process has 2 GiB of it (4 GiB
// when linked large-address-aware), shared with its code, heap, stacks and libraries, so it takes files
// below 1 GiB, which leaves room for all of those in any layout. A 64-bit one takes what the format can
// describe.
constexpr uint64_t flasher_file_size_limit(size_t pointer_size) {
    return pointer_size >= 8 ? PAYLOAD_FILE_SIZE_LIMIT : uint64_t(1) << 30;
}
inline constexpr uint64_t FLASHER_FILE_SIZE_LIMIT = flasher_file_size_limit(sizeof(void *));

inline constexpr uint32_t PAYLOAD_TRAILER_SIZE = 8;

// The two texts load_image_table fails with; the caller shows them and ends the process.
extern const char IMAGE_OPEN_FAILED_TEXT[]; // "Open image failed"
extern const char IMAGE_DESTROYED_TEXT[];   // "This file has been destroyed!"

struct ImageSlot {
    const uint8_t *Data; // inside the table's FileBuffer; null when the entry is absent or has size 0
    uint32_t Size;       // 0 when absent
};

// FileBuffer holds the whole file: a read-only mapping of it, or a copy read into memory
// (file_buffer_is_mapped says which). A copy has one NUL byte after the file's bytes, a mapping need not:
// nothing reads beyond the file, since every consumer of the table goes by (Data, Size) and the locator reads
// only the trailer at the end.
struct ImageTable {
    ImageSlot Slots[IMAGE_SLOT_COUNT];
    const uint8_t *FileBuffer; // the whole file; owned, released with free_file_buffer
    uint32_t TotalImageBytes;  // sum of Size over slots 0..12 whose Data is non-null
    uint32_t ProgressSlice;    // TotalImageBytes / 100: the bulk writer reports progress past every slice
};

// The process-wide table: all zero until start-up fills it once on the window thread, read-only (from
// the window thread and the download worker) afterwards.
extern ImageTable g_ImageTable;

// Reads the file at PATH whole into a new buffer (one allocation, F bytes plus a NUL byte) and stores F
// through SIZE when SIZE is not null. On failure returns null after writing "open %s failed!\n" or
// "read %s failed!\n" to standard output; an empty file and a file of 4 GiB or more count as unreadable.
// The packer reads its inputs this way. Release the buffer with free_file_buffer and nothing else.
uint8_t *read_whole_file(const char *path, uint32_t *size);

// The file buffer of the program's own file at PATH: a read-only mapping where the file cannot go away
// in use, on a disk that is not unplugged or in memory (g_ImageFileSeams.may_map, os/fixed_storage.h);
// read whole otherwise, and wherever the mapping fails. A running program's own file cannot shrink or
// change there: Windows refuses to open a running image for writing (and to truncate a mapped file),
// Linux refuses to write to or truncate a running executable (ETXTBSY). (Were it cut short all the same,
// or its medium gone, the first read of a page no longer there would end the process: SIGBUS, or an
// in-page error on Windows. That is why a file on a share, on a medium that can be unplugged, or where
// the check cannot tell is read whole.) Files of 0 bytes and of g_ImageFileSeams.size_limit bytes or more
// fail like unreadable ones. Stores F through SIZE; on failure returns null after the same lines as
// read_whole_file. Release with free_file_buffer.
const uint8_t *open_file_buffer(const char *path, uint32_t *size);

// Whether BUFFER (from open_file_buffer) is a mapping rather than a copy.
bool file_buffer_is_mapped(const uint8_t *buffer);

// Releases a buffer from read_whole_file or open_file_buffer (a table's FileBuffer), unmapping a mapping;
// null is accepted.
void free_file_buffer(const uint8_t *buffer);

// Fills TABLE from the payload at the end of the file at PATH, through open_file_buffer. Returns null on
// success, with FileBuffer owned by the table (an earlier FileBuffer is not freed: the caller does that).
// On failure returns IMAGE_OPEN_FAILED_TEXT (unreadable file, or too large for this build) or
// IMAGE_DESTROYED_TEXT (bad trailer, checksum or body), leaves the table untouched and releases
// everything it took. Called once, on the window thread.
const char *load_image_table(const char *path, ImageTable *table);

// How open_file_buffer decides, replaceable by tests.
struct ImageFileSeams {
    // Whether the file at PATH may be mapped: file_may_be_mapped in the product.
    bool (*may_map)(const char *path);
    // Files of this many bytes or more are refused: FLASHER_FILE_SIZE_LIMIT in the product.
    uint64_t size_limit;
};
extern ImageFileSeams g_ImageFileSeams;

// The values of g_ImageFileSeams in the product.
const ImageFileSeams &image_file_product_seams();

// What check_payload found wrong, most basic first.
enum PayloadCheck {
    PAYLOAD_OK,
    PAYLOAD_TOO_SHORT,    // fewer bytes than a trailer
    PAYLOAD_BAD_LENGTH,   // the trailer's body length does not fit in the file
    PAYLOAD_BAD_CHECKSUM, // the body's CRC differs from the trailer's
    PAYLOAD_BAD_BODY,     // the body does not parse: a record or the terminator runs past its end
};

struct PayloadInfo {
    uint32_t BodyOffset;  // F - 8 - L
    uint32_t BodyLength;  // L, from the trailer
    uint32_t StoredCrc;   // from the trailer
    uint32_t ComputedCrc; // over the body; 0 when the length was already bad
    uint32_t Consumed;    // bytes the parse took, terminator included; 0 when it failed or did not run
};

// The locator's checks on a file already in memory (FILE, SIZE bytes): trailer, checksum, parse into
// ARCHIVE (whose entries then point into FILE). INFO (may be null) receives what was found so far. Pure
// apart from ARCHIVE; never reads outside FILE[0, SIZE).
PayloadCheck check_payload(const uint8_t *file, uint32_t size, PayloadInfo *info, CPackArchive *archive);

// Everything load_image_table does after the read, on a file already in memory: on success fills TABLE
// with views into FILE, stores FILE as its FileBuffer (owned from then on only if it came from
// open_file_buffer or read_whole_file) and returns null; on failure returns IMAGE_DESTROYED_TEXT and
// leaves TABLE untouched. Reads nothing outside FILE[0, SIZE).
const char *index_image_table(const uint8_t *file, uint32_t size, ImageTable *table);

// A short sentence for RESULT, for tools that explain a verdict ("the checksum of the body is wrong").
const char *payload_check_text(PayloadCheck result);
