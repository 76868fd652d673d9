// Files beyond 2 GiB: 64-bit offsets all the way through the read. Reads 2 GiB (of a sparse file), so it
// runs in the native tier only.
#include "package/image_table.h"

#include <gtest/gtest.h>

#include "tests/support/test_files.h"
#include "tools/packer.h"

TEST(LargeFiles, PayloadBeyondTwoGibIsFoundAndIndexed) {
    TempDir dir;
    std::string path = dir.Path("large.exe");
    const uint64_t prefix = (uint64_t(1) << 31) + 4096;
    std::vector<uint8_t> payload = pack_payload({{"boot.img", {1, 2, 3, 4}}, {"DeviceList.dat", {'x'}}});
    write_file(path, {'M', 'Z'});
    std::filesystem::resize_file(path, prefix);
    FILE *file = fopen(path.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(payload.data(), 1, payload.size(), file), payload.size());
    ASSERT_EQ(fclose(file), 0);

    ImageTable table{};
    ASSERT_EQ(load_image_table(path.c_str(), &table), nullptr);
    EXPECT_EQ(table.Slots[SLOT_BOOT].Data, table.FileBuffer + prefix + 8);
    EXPECT_EQ(table.Slots[SLOT_BOOT].Data[3], 4);
    EXPECT_EQ(table.FileBuffer[0], 'M');
    EXPECT_EQ(table.TotalImageBytes, 4u);
    free_file_buffer(table.FileBuffer);
}
