// Bulk transfer against the scripted driver: chunking, time-outs, short and failed writes, progress
// reports, and reads that wait through time-outs.
#include "usb/bulk_transfer.h"

#include "fake_driver.h"
#include "framework/main_window.h"
#include "framework/messages.h"
#include "package/image_table.h"
#include "tests/support/test_data.h"

#include <cerrno>
#include <string>
#include <vector>

namespace {

struct Report {
    UINT message;
    WPARAM tag;
    LPARAM count;
    size_t writes_before; // driver writes made when the report arrived
};

class RecordingWindow : public MainWindowTarget {
public:
    LRESULT SendMessageSync(UINT message, WPARAM wParam, LPARAM lParam) override {
        reports.push_back({message, wParam, lParam, FakeDriver::get().writes.size()});
        return 0;
    }
    std::vector<Report> reports;
};

class BulkTransfer : public FakePhoneTest {
protected:
    void SetUp() override {
        FakePhoneTest::SetUp();
        set_main_window(&window);
    }
    void TearDown() override {
        set_main_window(nullptr);
        g_ImageTable.ProgressSlice = 0;
        FakePhoneTest::TearDown();
    }
    std::vector<uint32_t> write_sizes() const {
        std::vector<uint32_t> sizes;
        for (const FakeTransferCall &call : fake.writes)
            sizes.push_back(call.size);
        return sizes;
    }

    RecordingWindow window;
};

FakeTransfer succeed_with(uint32_t count) {
    FakeTransfer step;
    step.count = count;
    return step;
}

FakeTransfer fail_with(uint32_t error) {
    FakeTransfer step;
    step.ok = false;
    step.error = error;
    return step;
}

FakeTransfer reply(const std::string &data) {
    FakeTransfer step;
    step.data = data;
    return step;
}

} // namespace

// --- Time-outs

TEST(BulkTimeout, EightMillisecondsPerBytePlusHalfASecondClampedNotWrapped) {
    EXPECT_EQ(transfer_timeout_ms(64), 1012u);
    EXPECT_EQ(transfer_timeout_ms(10000), 80500u);
    EXPECT_EQ(transfer_timeout_ms(0), 500u);
    EXPECT_EQ(transfer_timeout_ms(536870849), 4294967292u); // the last length that fits
    // One byte more would wrap to a 4 ms time-out and fail a healthy transfer.
    EXPECT_EQ(transfer_timeout_ms(536870850), 0xFFFFFFFFu);
    EXPECT_EQ(transfer_timeout_ms(INT32_MAX), 0xFFFFFFFFu);
    EXPECT_EQ(transfer_timeout_ms(-5), 500u);
}

// --- Writes

TEST_F(BulkTransfer, AWriteGoesOutInChunksOfAtMost4096WithTheWholeTransfersTimeout) {
    std::string data = test_pattern_text(10000);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 10000, 1), 10000);
    EXPECT_EQ(write_sizes(), (std::vector<uint32_t>{4096, 4096, 1808}));
    for (const FakeTransferCall &call : fake.writes) {
        EXPECT_EQ(call.timeout_ms, 80500u);
        EXPECT_EQ(call.endpoint, handle->write_endpoint);
    }
    EXPECT_EQ(fake.written, data);
}

TEST_F(BulkTransfer, AShortWriteGoesOnWhereTheDriverStopped) {
    std::string data = test_pattern_text(9000);
    fake.write_script = {succeed_with(1000), succeed_with(4096), succeed_with(1)};
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 9000, 0), 9000);
    EXPECT_EQ(write_sizes(), (std::vector<uint32_t>{4096, 4096, 3904, 3903}));
    EXPECT_EQ(fake.written, data);
}

TEST_F(BulkTransfer, NothingToWriteOrNoHandleMakesNoDriverCall) {
    std::string data = test_pattern_text(64);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 0, 1), -1);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), -1, 0), -1);

    errno = 4242;
    EXPECT_EQ(bulk_write(nullptr, 0, data.data(), 64, 1), -1);
    EXPECT_EQ(g_OsApi.get_last_error(), OS_ERROR_INVALID_HANDLE);
#ifdef _WIN32
    EXPECT_EQ(errno, 4242); // only the last-error value is set; on POSIX the two are one
#endif
    UsbDeviceHandle released = {};
    EXPECT_EQ(bulk_write(&released, 0, data.data(), 64, 1), -1);
    EXPECT_EQ(g_OsApi.get_last_error(), OS_ERROR_INVALID_HANDLE);
    EXPECT_TRUE(fake.writes.empty());
}

TEST_F(BulkTransfer, AFailedDriverCallEndsTheWriteAndLeavesTheHandleOpen) {
    std::string data = test_pattern_text(10000);
    fake.write_script = {succeed_with(4096), fail_with(OS_ERROR_INVALID_HANDLE)};
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 10000, 0), -1);
    EXPECT_EQ(errno, static_cast<int>(OS_ERROR_INVALID_HANDLE));
    EXPECT_EQ(fake.writes.size(), 2u); // nothing retried
    EXPECT_EQ(fake.written, data.substr(0, 4096));
    // Still usable: freeing it is the window thread's decision.
    EXPECT_EQ(fake.open_handles().size(), 3u);
    EXPECT_NE(handle->write_endpoint, nullptr);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 10, 1), 10);
}

TEST_F(BulkTransfer, ADriverClaimingNothingOrTooMuchFailsInsteadOfSpinningOrSkipping) {
    std::string data = test_pattern_text(10000);
    fake.write_script = {succeed_with(0)};
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 10000, 0), -1);
    EXPECT_EQ(errno, static_cast<int>(OS_ERROR_DEVICE_FAULT));
    EXPECT_EQ(fake.writes.size(), 1u);

    // 5000 of a 4096-byte chunk would skip 904 bytes the device never saw and still add up to the
    // whole length.
    fake.writes.clear();
    fake.write_script = {succeed_with(5000)};
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 10000, 0), -1);
    EXPECT_EQ(g_OsApi.get_last_error(), OS_ERROR_DEVICE_FAULT);
    EXPECT_EQ(fake.writes.size(), 1u);
}

TEST_F(BulkTransfer, TheErrorNumberFollowsTheDriverAfterEveryCall) {
    FakeTransfer step = succeed_with(64);
    step.error = 997; // a driver may leave any value behind on success
    fake.write_script = {step};
    errno = 0;
    std::string data = test_pattern_text(64);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 64, 1), 64);
    EXPECT_EQ(errno, 997);
}

// --- Progress reports

TEST_F(BulkTransfer, ADataPhaseReportsEachTimeTheCountHasGrownPastTheSlice) {
    g_ImageTable.ProgressSlice = 10000;
    std::string data = test_pattern_text(40960);
    EXPECT_EQ(bulk_write(handle, 0xCAFE, data.data(), 40960, 0), 40960);
    // After the 4th and the 8th chunk, 12,288 each; the chunk that triggers a report is counted in
    // none, and the last 8,192 bytes are reported nowhere.
    ASSERT_EQ(window.reports.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(window.reports[i].message, WM_DOWNLOAD_PROGRESS);
        EXPECT_EQ(window.reports[i].tag, 0xCAFEu);
        EXPECT_EQ(window.reports[i].count, 12288);
    }
    EXPECT_EQ(window.reports[0].writes_before, 4u);
    EXPECT_EQ(window.reports[1].writes_before, 8u);
}

TEST_F(BulkTransfer, CommandsNeverReportAndEachWriteCountsFromZero) {
    g_ImageTable.ProgressSlice = 100;
    std::string data = test_pattern_text(40960);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 40960, 1), 40960);
    EXPECT_TRUE(window.reports.empty());

    g_ImageTable.ProgressSlice = 10000;
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 8192, 0), 8192);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 8192, 0), 8192);
    EXPECT_TRUE(window.reports.empty());
}

TEST_F(BulkTransfer, ADataPhaseWithoutAWindowStillCompletes) {
    set_main_window(nullptr);
    g_ImageTable.ProgressSlice = 1;
    std::string data = test_pattern_text(40960);
    EXPECT_EQ(bulk_write(handle, 0, data.data(), 40960, 0), 40960);
    EXPECT_EQ(fake.written, data);
}

// --- Reads

TEST_F(BulkTransfer, AStatusReadIsOneTransferRepeatedWhileItTimesOut) {
    fake.read_script = {fail_with(OS_ERROR_TIMEOUT), fail_with(OS_ERROR_TIMEOUT), fail_with(OS_ERROR_TIMEOUT),
                        reply("OKAY")};
    char buffer[64];
    EXPECT_EQ(bulk_read(handle, buffer, 64), 4);
    EXPECT_EQ(std::string(buffer, 4), "OKAY");
    ASSERT_EQ(fake.reads.size(), 4u);
    for (const FakeTransferCall &call : fake.reads) {
        EXPECT_EQ(call.endpoint, handle->read_endpoint);
        EXPECT_EQ(call.size, 64u);
        EXPECT_EQ(call.timeout_ms, 1012u);
    }
}

TEST_F(BulkTransfer, ASilentDeviceIsWaitedForUntilItGoesAway) {
    for (int i = 0; i < 10000; ++i)
        fake.read_script.push_back(fail_with(OS_ERROR_TIMEOUT));
    fake.read_script.push_back(fail_with(OS_ERROR_DEVICE_FAULT));
    char buffer[64];
    EXPECT_EQ(bulk_read(handle, buffer, 64), -1);
    EXPECT_EQ(errno, static_cast<int>(OS_ERROR_DEVICE_FAULT));
    EXPECT_EQ(fake.reads.size(), 10001u);
    EXPECT_EQ(fake.open_handles().size(), 3u);
}

TEST_F(BulkTransfer, AReadTakesWhatOneTransferBringsUpTo4096) {
    std::vector<char> buffer(10000);
    fake.read_script = {reply(""), reply(std::string(20, 'x')), reply(std::string(5000, 'y'))};
    EXPECT_EQ(bulk_read(handle, buffer.data(), 64), 0); // a zero-length transfer is a reply
    EXPECT_EQ(bulk_read(handle, buffer.data(), 64), 20);
    EXPECT_EQ(bulk_read(handle, buffer.data(), 10000), 4096);
    EXPECT_EQ(fake.reads[2].size, 4096u);
    EXPECT_EQ(fake.reads[2].timeout_ms, 80500u);
}

TEST_F(BulkTransfer, ReadsWithoutAHandleOrWithBadArgumentsReachNoDriver) {
    char buffer[64];
    EXPECT_EQ(bulk_read(nullptr, buffer, 64), -1);
    EXPECT_EQ(g_OsApi.get_last_error(), OS_ERROR_INVALID_HANDLE);
    EXPECT_EQ(bulk_read(handle, buffer, -1), -1);
    EXPECT_EQ(bulk_read(handle, nullptr, 64), -1);
    EXPECT_EQ(g_OsApi.get_last_error(), OS_ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(fake.reads.empty());
}

TEST_F(BulkTransfer, ADriverClaimingMoreThanWasAskedForFailsTheRead) {
    FakeTransfer step = reply("OKAY");
    step.count = 65;
    fake.read_script = {step};
    char buffer[64];
    EXPECT_EQ(bulk_read(handle, buffer, 64), -1);
    EXPECT_EQ(errno, static_cast<int>(OS_ERROR_DEVICE_FAULT));
}
