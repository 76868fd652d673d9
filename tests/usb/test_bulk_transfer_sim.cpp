// Bulk transfer against the simulated phone: whole downloads, short transfers, slow replies, and a
// phone that leaves.
#include "usb/bulk_transfer.h"

#include "framework/main_window.h"
#include "framework/messages.h"
#include "package/image_table.h"
#include "usb_sim_test.h"

#include <cerrno>
#include <cstdio>
#include <string>
#include <vector>

namespace {

class CountingWindow : public MainWindowTarget {
public:
    LRESULT SendMessageSync(UINT message, WPARAM, LPARAM lParam) override {
        if (message == WM_DOWNLOAD_PROGRESS)
            reported.push_back(lParam);
        return 0;
    }
    std::vector<LPARAM> reported;
};

class UsbSimTransfer : public UsbSim {
protected:
    void SetUp() override {
        UsbSim::SetUp();
        set_main_window(&window);
    }
    void TearDown() override {
        set_main_window(nullptr);
        g_ImageTable.ProgressSlice = 0;
        UsbSim::TearDown();
    }
    CountingWindow window;
};

// One command and its first reply, the way the command exchange uses the transport.
std::string command_reply(UsbDeviceHandle *device, const std::string &command) {
    if (bulk_write(device, 0, command.data(), static_cast<int32_t>(command.size()), 1) !=
        static_cast<int32_t>(command.size()))
        return "<write failed>";
    char reply[64];
    int32_t n = bulk_read(device, reply, sizeof reply);
    return n < 0 ? "<read failed>" : std::string(reply, static_cast<size_t>(n));
}

std::string image(size_t size) {
    std::string data(size, '\0');
    for (size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131) ^ (i >> 9));
    return data;
}

std::string download_command(size_t size) {
    char command[32];
    std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(size));
    return command;
}

} // namespace

TEST_F(UsbSimTransfer, AnImageGoesDownInChunksWithProgressAndIsFlashedByteForByte) {
    g_ImageTable.ProgressSlice = 10000;
    UsbDeviceHandle *device = scan_for_device(is_fastboot_interface);
    ASSERT_NE(device, nullptr);

    std::string data = image(40960);
    EXPECT_EQ(command_reply(device, download_command(data.size())), "DATA0000a000");
    EXPECT_EQ(bulk_write(device, 0, data.data(), static_cast<int32_t>(data.size()), 0), 40960);
    char reply[64];
    ASSERT_EQ(bulk_read(device, reply, sizeof reply), 4);
    EXPECT_EQ(std::string(reply, 4), "OKAY");
    EXPECT_EQ(command_reply(device, "flash:boot"), "OKAY");

    EXPECT_EQ(sim.partition("phone", "boot"), data);
    EXPECT_NE(sim.transcript().find("bytes=40960 crc32="), std::string::npos);
    EXPECT_NE(sim.transcript().find("transfers=10 largest=4096"), std::string::npos) << sim.transcript();
    EXPECT_EQ(window.reported, (std::vector<LPARAM>{12288, 12288}));

    free_device(device);
}

TEST_F(UsbSimTransfer, ShortTransfersAreContinuedAndASlowReplyIsWaitedFor) {
    ASSERT_TRUE(sim.scenario("device phone\n"
                             "on download:* short-write 1000\n"
                             "on flash:boot timeouts 25\n"))
        << sim.error;
    UsbDeviceHandle *device = scan_for_device(is_fastboot_interface);
    ASSERT_NE(device, nullptr);

    std::string data = image(10000);
    EXPECT_EQ(command_reply(device, download_command(data.size())), "DATA00002710");
    EXPECT_EQ(bulk_write(device, 0, data.data(), static_cast<int32_t>(data.size()), 0), 10000);
    char reply[64];
    ASSERT_EQ(bulk_read(device, reply, sizeof reply), 4);
    EXPECT_EQ(command_reply(device, "flash:boot"), "OKAY");
    EXPECT_EQ(sim.partition("phone", "boot"), data);
    // Ten transfers of 1000 bytes: each short write was continued where the phone stopped.
    EXPECT_NE(sim.transcript().find(" transfers=10 largest="), std::string::npos) << sim.transcript();
    free_device(device);
}

TEST_F(UsbSimTransfer, APhoneLeavingMidTransferEndsWritesAndReadsWithoutFreeingTheHandle) {
    ASSERT_TRUE(sim.scenario("device phone\non download:* unplug-after 5000\n")) << sim.error;
    UsbDeviceHandle *device = scan_for_device(is_fastboot_interface);
    ASSERT_NE(device, nullptr);

    std::string data = image(10000);
    EXPECT_EQ(command_reply(device, download_command(data.size())), "DATA00002710");
    EXPECT_EQ(bulk_write(device, 0, data.data(), static_cast<int32_t>(data.size()), 0), -1);
    int gone = errno;
    EXPECT_NE(gone, 0);
    EXPECT_NE(static_cast<uint32_t>(gone), OS_ERROR_TIMEOUT);
    // A read on a departed phone must end, not wait through time-outs for ever.
    char reply[64];
    EXPECT_EQ(bulk_read(device, reply, sizeof reply), -1);
    EXPECT_EQ(errno, gone);
    EXPECT_NE(device->read_endpoint, nullptr);
    EXPECT_EQ(sim.stats().open_now, 3u);
    free_device(device);
}

TEST_F(UsbSimTransfer, AfterRebootThePhoneIsGoneAndTheNextReadSaysSo) {
    UsbDeviceHandle *device = scan_for_device(is_fastboot_interface);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(command_reply(device, "reboot"), "OKAY");
    char reply[64];
    EXPECT_EQ(bulk_read(device, reply, sizeof reply), -1);
    EXPECT_EQ(reopen(device), nullptr);
    free_device(device);
}
