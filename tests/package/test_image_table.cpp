#include "package/image_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "os/file_io.h"
#include "os/os_api.h"
#include "package/pack_archive.h"
#include "tests/support/test_data.h"
#include "tests/support/test_files.h"
#include "tools/packer.h"

namespace {

// One entry per known name, sizes 10, 11, 12, ... in table order.
std::vector<PackBlob> all_entries() {
    std::vector<PackBlob> entries;
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++)
        entries.push_back({IMAGE_ENTRY_NAMES[i], test_pattern(10 + i, static_cast<uint8_t>(i))});
    return entries;
}

std::vector<PackBlob> without(std::vector<PackBlob> entries, const std::string &name) {
    std::erase_if(entries, [&](const PackBlob &blob) { return blob.Name == name; });
    return entries;
}

void set_le32(std::vector<uint8_t> *file, size_t offset, uint32_t v) {
    for (int i = 0; i < 4; i++)
        (*file)[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The two ways the locator holds a file: mapped (on a disk that stays, or in memory), and read whole (as
// on a network share or a medium that can be unplugged), chosen here through the seam whatever the
// temporary folder lies on.
enum FileBufferWay { MAPPED, READ_WHOLE };

class ImageTableTest : public ::testing::TestWithParam<FileBufferWay> {
protected:
    void SetUp() override {
        if (GetParam() == MAPPED)
            g_ImageFileSeams.may_map = [](const char *) { return true; };
        else
            g_ImageFileSeams.may_map = [](const char *) { return false; };
    }
    ~ImageTableTest() override {
        free_file_buffer(m_Table.FileBuffer);
        g_ImageFileSeams = image_file_product_seams();
    }

    // load_image_table on a file holding BYTES; the table starts out filled with a marker, so that a
    // failure that writes to it shows.
    const char *Load(const std::vector<uint8_t> &bytes) {
        // Windows refuses to write a file that is mapped, as it does with the running flasher's own.
        free_file_buffer(m_Table.FileBuffer);
        m_Table.FileBuffer = nullptr;
        write_file(m_Dir.Path("flasher.exe"), bytes);
        return LoadPath(m_Dir.Path("flasher.exe"));
    }

    const char *LoadPath(const std::string &path) {
        free_file_buffer(m_Table.FileBuffer);
        memset(&m_Table, 0xA5, sizeof m_Table);
        m_Table.FileBuffer = nullptr;
        ImageTable before = m_Table;
        const char *result = load_image_table(path.c_str(), &m_Table);
        if (result) {
            EXPECT_EQ(memcmp(&before, &m_Table, sizeof m_Table), 0) << "a failed load changed the table";
        } else {
            EXPECT_EQ(file_buffer_is_mapped(m_Table.FileBuffer), GetParam() == MAPPED);
        }
        return result;
    }

    TempDir m_Dir;
    ImageTable m_Table{};
};

} // namespace

TEST(ImageTable, EntryNamesAreTheTableInOrder) {
    EXPECT_STREQ(IMAGE_ENTRY_NAMES[SLOT_QCSBLHD_CFGDATA], "qcsblhd_cfgdata.mbn");
    EXPECT_STREQ(IMAGE_ENTRY_NAMES[SLOT_BOOT], "boot.img");
    EXPECT_STREQ(IMAGE_ENTRY_NAMES[SLOT_USERDATA], "userdata.img");
    EXPECT_STREQ(IMAGE_ENTRY_NAMES[SLOT_DRIVER_LIBRARY], "AdbWinApi.dll");
    EXPECT_STREQ(IMAGE_ENTRY_NAMES[SLOT_DEVICE_LIST], "DeviceList.dat");
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        EXPECT_EQ(image_slot_of_name(IMAGE_ENTRY_NAMES[i]), i);
        EXPECT_EQ(image_slot_of_hash(pack_name_hash(IMAGE_ENTRY_NAMES[i])), i); // no two names share a hash
    }
    EXPECT_EQ(image_slot_of_name("BOOT.IMG"), -1);
}

TEST_P(ImageTableTest, FillsEverySlotWithViewsIntoTheFile) {
    std::vector<uint8_t> base = test_pattern(4097, 99);
    std::vector<uint8_t> file = pack_flasher_bytes(base, all_entries());
    ASSERT_EQ(Load(file), nullptr);

    ASSERT_NE(m_Table.FileBuffer, nullptr);
    EXPECT_EQ(memcmp(m_Table.FileBuffer, file.data(), file.size()), 0);
    if (GetParam() == READ_WHOLE) {
        EXPECT_EQ(m_Table.FileBuffer[file.size()], 0); // the NUL after a copy
    }
    size_t record = base.size();
    uint32_t total = 0;
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        const ImageSlot &slot = m_Table.Slots[i];
        EXPECT_EQ(slot.Data, m_Table.FileBuffer + record + 8) << IMAGE_ENTRY_NAMES[i];
        ASSERT_EQ(slot.Size, 10u + i);
        EXPECT_EQ(std::vector<uint8_t>(slot.Data, slot.Data + slot.Size), test_pattern(10 + i, uint8_t(i)));
        record += 8 + slot.Size;
        if (i < IMAGE_COUNTED_SLOTS)
            total += slot.Size;
    }
    EXPECT_EQ(m_Table.TotalImageBytes, total);
    EXPECT_EQ(m_Table.ProgressSlice, total / 100);
}

TEST_P(ImageTableTest, AbsentAndEmptyEntriesAreNullAndUncounted) {
    auto entries =
        without(without(without(all_entries(), "userdata.img"), "AdbWinApi.dll"), "DeviceList.dat");
    entries[SLOT_BOOT].Bytes.clear(); // present with size 0
    ASSERT_EQ(Load(pack_payload(entries)), nullptr);
    for (int slot : {SLOT_USERDATA, SLOT_DRIVER_LIBRARY, SLOT_DEVICE_LIST, SLOT_BOOT}) {
        EXPECT_EQ(m_Table.Slots[slot].Data, nullptr) << IMAGE_ENTRY_NAMES[slot];
        EXPECT_EQ(m_Table.Slots[slot].Size, 0u);
    }
    uint32_t expected = 0;
    for (int i = 0; i < SLOT_USERDATA; i++)
        expected += i == SLOT_BOOT ? 0 : 10 + i;
    EXPECT_EQ(m_Table.TotalImageBytes, expected);

    // Nothing but the device list: no images, no progress slice.
    ASSERT_EQ(Load(pack_payload({{"DeviceList.dat", {'x'}}, {"readme.txt", {'y', 'z'}}})), nullptr);
    EXPECT_EQ(m_Table.TotalImageBytes, 0u);
    EXPECT_EQ(m_Table.ProgressSlice, 0u);
    EXPECT_EQ(m_Table.Slots[SLOT_DEVICE_LIST].Size, 1u);
}

TEST_P(ImageTableTest, ProgressSliceIsOnePercentRoundedDown) {
    for (auto [total, slice] : {std::pair{99u, 0u}, {100u, 1u}, {150u, 1u}, {1000u, 10u}}) {
        ASSERT_EQ(Load(pack_payload({{"system.img", std::vector<uint8_t>(total, 1)}})), nullptr);
        EXPECT_EQ(m_Table.TotalImageBytes, total);
        EXPECT_EQ(m_Table.ProgressSlice, slice) << total;
    }
}

TEST_P(ImageTableTest, TheLaterOfTwoEqualNamesWinsAndTrailingBytesAreIgnored) {
    std::vector<uint8_t> body = pack_body({{"boot.img", {1}}, {"boot.img", {2, 2}}});
    body.insert(body.end(), {0xDE, 0xAD}); // after the terminator, inside the checksummed length
    pack_append_trailer(&body, 0);
    ASSERT_EQ(Load(body), nullptr);
    ASSERT_EQ(m_Table.Slots[SLOT_BOOT].Size, 2u);
    EXPECT_EQ(m_Table.Slots[SLOT_BOOT].Data[0], 2);
}

TEST_P(ImageTableTest, UnreadableFilesFailToOpen) {
    testing::internal::CaptureStdout();
    EXPECT_STREQ(LoadPath(m_Dir.Path("no-such-file")), "Open image failed");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open " + m_Dir.Path("no-such-file") + " failed!\n");

    testing::internal::CaptureStdout();
    EXPECT_STREQ(Load({}), "Open image failed");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read " + m_Dir.Path("flasher.exe") + " failed!\n");

    testing::internal::CaptureStdout();
    EXPECT_STREQ(LoadPath(m_Dir.Path()), "Open image failed"); // a folder
    testing::internal::GetCapturedStdout();

    // 4 GiB or more cannot be described by the trailer; refused on its size, before any read (the file
    // is sparse where the file system allows).
    write_file(m_Dir.Path("huge.exe"), {'M', 'Z'});
    std::filesystem::resize_file(m_Dir.Path("huge.exe"), uint64_t(1) << 32);
    testing::internal::CaptureStdout();
    EXPECT_STREQ(LoadPath(m_Dir.Path("huge.exe")), "Open image failed");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read " + m_Dir.Path("huge.exe") + " failed!\n");
}

TEST_P(ImageTableTest, DamagedTrailersAreRefused) {
    for (size_t size = 1; size < 8; size++)
        EXPECT_STREQ(Load(std::vector<uint8_t>(size, 0)), IMAGE_DESTROYED_TEXT) << size;

    std::vector<uint8_t> good = pack_flasher_bytes(test_pattern(64, 1), all_entries());
    size_t end = good.size();
    for (uint32_t length : {uint32_t(end - 7), 0x7FFFFFFFu, 0xFFFFFFF8u, 0xFFFFFFFFu}) {
        std::vector<uint8_t> bad = good;
        set_le32(&bad, end - 8, length);
        EXPECT_STREQ(Load(bad), IMAGE_DESTROYED_TEXT) << length;
    }

    // A file that carries no package at all, whose last 8 bytes happen to give a length that fits.
    std::vector<uint8_t> plain = test_pattern(5000, 3);
    set_le32(&plain, plain.size() - 8, 1000);
    EXPECT_STREQ(Load(plain), IMAGE_DESTROYED_TEXT);
}

TEST_P(ImageTableTest, BodiesThatDoNotParseAreRefusedEvenWithAGoodChecksum) {
    std::vector<uint8_t> empty_body; // L = 0
    std::vector<uint8_t> unterminated = pack_body({{"boot.img", {1, 2, 3}}});
    unterminated.resize(unterminated.size() - 8);
    std::vector<uint8_t> overlong = pack_body({{"boot.img", {1, 2, 3}}});
    set_le32(&overlong, 0, 1000);
    for (std::vector<uint8_t> *file : {&empty_body, &unterminated, &overlong}) {
        pack_append_trailer(file, 0);
        CPackArchive archive;
        EXPECT_EQ(check_payload(file->data(), uint32_t(file->size()), nullptr, &archive), PAYLOAD_BAD_BODY);
        EXPECT_STREQ(Load(*file), IMAGE_DESTROYED_TEXT);
    }
}

// Every single-bit change in the body or the stored checksum is caught; the prefix is not covered.
// Runs on the in-memory path that load_image_table takes after its read.
TEST(ImageTable, EveryFlippedBitOfBodyOrChecksumIsCaught) {
    std::vector<uint8_t> base = test_pattern(32, 5);
    std::vector<uint8_t> good =
        pack_flasher_bytes(base, {{"boot.img", test_pattern(40, 1)}, {"DeviceList.dat", {'x'}}});
    for (size_t at = base.size(); at < good.size(); at++) {
        if (at >= good.size() - 8 && at < good.size() - 4)
            continue; // the length field: covered by DamagedTrailersAreRefused
        for (int bit = 0; bit < 8; bit++) {
            std::vector<uint8_t> bad = good;
            bad[at] ^= uint8_t(1 << bit);
            ImageTable table{};
            ASSERT_STREQ(index_image_table(bad.data(), static_cast<uint32_t>(bad.size()), &table),
                         IMAGE_DESTROYED_TEXT)
                << "byte " << at << " bit " << bit;
        }
    }
    std::vector<uint8_t> other_prefix = good;
    other_prefix[0] ^= 0xFF;
    ImageTable table{};
    EXPECT_EQ(index_image_table(other_prefix.data(), static_cast<uint32_t>(other_prefix.size()), &table),
              nullptr);
}

// A file too large for the build's address space fails like an unreadable one, with the read's line, on
// either way of holding it; one byte less is loaded. (The 32-bit limit, tried here through the seam.)
TEST_P(ImageTableTest, AFileTooLargeForThisBuildFailsToOpen) {
    std::vector<uint8_t> file = pack_flasher_bytes(test_pattern(5000, 2), all_entries());
    write_file(m_Dir.Path("flasher.exe"), file);
    g_ImageFileSeams.size_limit = file.size();
    testing::internal::CaptureStdout();
    EXPECT_STREQ(LoadPath(m_Dir.Path("flasher.exe")), IMAGE_OPEN_FAILED_TEXT);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "read " + m_Dir.Path("flasher.exe") + " failed!\n");

    g_ImageFileSeams.size_limit = file.size() + 1;
    ASSERT_EQ(LoadPath(m_Dir.Path("flasher.exe")), nullptr);
    EXPECT_EQ(memcmp(m_Table.FileBuffer, file.data(), file.size()), 0);
    free_file_buffer(m_Table.FileBuffer);
    EXPECT_FALSE(file_buffer_is_mapped(m_Table.FileBuffer)) << "released";
    m_Table.FileBuffer = nullptr;
}

INSTANTIATE_TEST_SUITE_P(FileBuffer, ImageTableTest, ::testing::Values(MAPPED, READ_WHOLE),
                         [](const ::testing::TestParamInfo<FileBufferWay> &way) {
                             return std::string(way.param == MAPPED ? "Mapped" : "ReadWhole");
                         });

TEST(FileBuffer, TheLargestFlasherFileFollowsTheAddressSpace) {
    EXPECT_EQ(flasher_file_size_limit(4), uint64_t(1) << 30);
    EXPECT_EQ(flasher_file_size_limit(8), uint64_t(1) << 32);
    EXPECT_EQ(FLASHER_FILE_SIZE_LIMIT, flasher_file_size_limit(sizeof(void *)));
    EXPECT_EQ(image_file_product_seams().size_limit, FLASHER_FILE_SIZE_LIMIT);
    EXPECT_EQ(image_file_product_seams().may_map, &file_may_be_mapped);
}

// Where the locator maps: the test's own files where the machine's storage stays (os/fixed_storage.h
// decides; its cases are tested in tests/os), never a path it cannot judge.
TEST(FileBuffer, FilesWhereTheStorageStaysAreMapped) {
    TempDir dir;
    write_file(dir.Path("f"), {1, 2, 3});
    std::string self;
    ASSERT_TRUE(os_platform_api().executable_path(&self));
    for (const std::string &path : {dir.Path("f"), self}) {
        const bool mapped = file_may_be_mapped(path.c_str());
        std::printf("%s: %s (%s)\n", path.c_str(), mapped ? "mapped" : "read whole", file_error_text());
    }
    EXPECT_FALSE(file_may_be_mapped(dir.Path("no-such-file").c_str()));
    uint64_t mapped_size = 0;
    EXPECT_EQ(file_map_readonly(dir.Path("no-such-file").c_str(), FLASHER_FILE_SIZE_LIMIT, &mapped_size),
              nullptr);
    if (!file_may_be_mapped(dir.Path("f").c_str()))
        GTEST_SKIP() << "the temporary folder is not on storage that stays here: " << file_error_text();
    uint32_t size = 0;
    const uint8_t *buffer = open_file_buffer(dir.Path("f").c_str(), &size);
    ASSERT_NE(buffer, nullptr);
    EXPECT_TRUE(file_buffer_is_mapped(buffer));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(buffer[2], 3);
    free_file_buffer(buffer);
    EXPECT_FALSE(file_buffer_is_mapped(buffer));
}

// What makes the mapping safe: the program's own file cannot be written (and so not changed or cut
// short) while the program runs. Linux refuses with ETXTBSY; Windows locks a running image.
TEST(FileBuffer, TheRunningProgramsOwnFileCannotBeWritten) {
    std::string self;
    ASSERT_TRUE(os_platform_api().executable_path(&self));
    FILE *file = fopen(self.c_str(), "r+b");
    const bool writable = file != nullptr;
    if (file != nullptr)
        fclose(file);
    EXPECT_FALSE(writable) << self << " could be opened for writing while it runs";
}
