// The command exchange through the real transport: against the simulated phone for everything it can
// play, against the scripted driver for faults that are easier to stage there.
#include "fastboot/command_exchange.h"

#include "allocation_probe.h"
#include "fastboot_test.h"
#include "framework/main_window.h"
#include "framework/messages.h"
#include "package/image_table.h"
#include "tests/usb/fake_driver.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

// 64 bytes exactly, a command the phone answers only through a scenario rule.
const std::string COMMAND_64 = "getvar:" + std::string(57, 'v');

} // namespace

TEST(DataSize, IsReadLikeA32BitStrtoulWithBase16) {
    const struct {
        const char *text;
        uint32_t value;
    } cases[] = {
        {"00002710", 0x2710},
        {"0000ABcd", 0xABCD},
        {"", 0},
        {"zz", 0},
        {"12g4", 0x12},
        {" \t\r\n\v\f0x1F", 0x1F},
        {"0X1f", 0x1F},
        {"0x", 0},
        {"0xg", 0},
        {"+10", 0x10},
        {"-1", 0xFFFFFFFF},
        {"-0", 0},
        {"-10", 0xFFFFFFF0},
        {"FFFFFFFF", 0xFFFFFFFF},
        {"100000000", 0xFFFFFFFF},
        {"-100000000", 0xFFFFFFFF},
        {"00000000000000010", 0x10}, // leading zeros never overflow
        {"fffffffffffffffff", 0xFFFFFFFF},
        {"+-1", 0},
        {" - 1", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_data_size(c.text), c.value) << '"' << c.text << '"';
}

TEST_F(FastbootSim, CommandsGoOutWholeUpTo64BytesAndLongerOrEmptyOnesNotAtAll) {
    open("device phone\non " + COMMAND_64 + " reply OKAY\n");
    char response[FASTBOOT_RESPONSE_SIZE];
    EXPECT_EQ(send_command(device, 0, COMMAND_64.c_str()), 0);

    std::strcpy(response, "stale");
    EXPECT_EQ(send_command(device, 0, (COMMAND_64 + "v").c_str(), nullptr, 0, response), -1);
    EXPECT_STREQ(get_error_text(), "command too large");
    EXPECT_STREQ(response, "");

    EXPECT_EQ(send_command(device, 0, ""), -1);
    EXPECT_EQ(get_error_text(), described("command write failed", OS_ERROR_INVALID_PARAMETER));
    EXPECT_EQ(wire(), (Lines{"out phone \"" + COMMAND_64 + "\"", "in phone \"OKAY\""}));
}

TEST_F(FastbootSim, OkayHandsItsTextToTheResponseBufferAndInfoLinesGoToStandardError) {
    const std::string text_60(60, 't');
    open("device phone\n"
         "on getvar:a reply OKAY\n"
         "on getvar:b info one\n"
         "on getvar:b info \"two\\0hidden\"\n"
         "on getvar:b info " +
         text_60 +
         "\n"
         "on getvar:b reply OKAY0x7fffffff\n"
         "on getvar:c reply \"OKAYab\\0cd\"\n"
         "on getvar:d reply OKAY" +
         text_60 + "\n");
    char response[FASTBOOT_RESPONSE_SIZE];
    std::strcpy(response, "stale");
    EXPECT_EQ(send_command(device, 0, "getvar:a", nullptr, 0, response), 0);
    EXPECT_STREQ(response, "");

    std::string echoed =
        stderr_of([&] { EXPECT_EQ(send_command(device, 0, "getvar:b", nullptr, 0, response), 0); });
    EXPECT_EQ(echoed, "INFOone\nINFOtwo\nINFO" + text_60 + "\n");
    EXPECT_STREQ(response, "0x7fffffff");

    EXPECT_EQ(send_command(device, 0, "getvar:c", nullptr, 0, response), 0);
    EXPECT_STREQ(response, "ab"); // the text ends at a NUL byte
    EXPECT_EQ(send_command(device, 0, "getvar:d", nullptr, 0, response), 0);
    EXPECT_EQ(response, text_60);
    EXPECT_STREQ(get_error_text(), "");
}

TEST_F(FastbootSim, EveryFailingReplyHasItsOwnTextAndALaterSuccessKeepsTheLastOne) {
    const std::string text_60(60, 'f');
    const struct {
        std::string rule;
        std::string text;
    } cases[] = {
        {"fail", "remote failure"},
        {"fail \"userdata is locked\"", "remote: userdata is locked"},
        {"fail " + text_60, "remote: " + text_60},
        {"reply OKA", "status malformed (3 bytes)"},
        {"reply", "status malformed (0 bytes)"},
        {"reply okay", "unknown status code"},
        {"reply OkAY", "unknown status code"},
        {"reply XYZW", "unknown status code"},
        {"reply DATA00000000", "unknown status code"}, // no data phase is due
    };
    std::string scenario = "device phone\n";
    for (size_t i = 0; i < std::size(cases); ++i)
        scenario += "on getvar:" + std::to_string(i) + " " + cases[i].rule + "\n";
    open(scenario);

    char response[FASTBOOT_RESPONSE_SIZE];
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::strcpy(response, "stale");
        EXPECT_EQ(send_command(device, 0, ("getvar:" + std::to_string(i)).c_str(), nullptr, 0, response), -1);
        EXPECT_EQ(get_error_text(), cases[i].text) << cases[i].rule;
        EXPECT_STREQ(response, "");
    }
    EXPECT_EQ(send_command(device, 0, "getvar:max-download-size"), 0);
    EXPECT_EQ(get_error_text(), cases[std::size(cases) - 1].text);
}

TEST_F(FastbootSim, TheDeviceChoosesHowManyBytesGoOut) {
    open("device phone\n"
         "on download:*#1 data-size -1000\n"
         "on download:*#2 data-size 0\n"
         "on download:*#3 info preparing\n"
         "on download:*#3 final-info written\n");
    const std::string data = test_pattern_text(0x2a7f);
    const uint32_t size = static_cast<uint32_t>(data.size());

    EXPECT_EQ(send_command(device, 0, "download:00002a7f", data.data(), size, nullptr), 0x2a7f - 1000);
    EXPECT_EQ(send_command(device, 0, "flash:boot"), 0);
    EXPECT_EQ(sim.partition("phone", "boot"), data.substr(0, 0x2a7f - 1000));

    EXPECT_EQ(send_command(device, 0, "download:00002a7f", data.data(), size, nullptr), 0);
    std::string echoed = stderr_of([&] { EXPECT_EQ(send_download(device, 0, data.data(), size), 0); });
    EXPECT_EQ(echoed, "INFOpreparing\nINFOwritten\n");
    EXPECT_EQ(send_command(device, 0, "flash:boot"), 0);
    EXPECT_EQ(sim.partition("phone", "boot"), data);

    EXPECT_EQ(wire(), (Lines{
                          "out phone \"download:00002a7f\"",
                          "in phone \"DATA00002697\"",
                          "data phone bytes=9879",
                          "in phone \"OKAY\"",
                          "out phone \"flash:boot\"",
                          "in phone \"OKAY\"",
                          "out phone \"download:00002a7f\"",
                          "data phone bytes=0", // the phone's own note: nothing to wait for
                          "in phone \"DATA00000000\"",
                          "in phone \"OKAY\"",
                          "out phone \"download:00002a7f\"",
                          "in phone \"INFOpreparing\"",
                          "in phone \"DATA00002a7f\"",
                          "data phone bytes=10879",
                          "in phone \"INFOwritten\"",
                          "in phone \"OKAY\"",
                          "out phone \"flash:boot\"",
                          "in phone \"OKAY\"",
                      }));
}

TEST_F(FastbootSim, ASizeBeyondTheOfferOrAWrongReplySendsNoData) {
    open("device phone\n"
         "on download:*#1 reply DATA100000000\n"
         "on download:*#2 reply DATA-1\n"
         "on download:*#3 fail \"too big\"\n"
         "on download:*#4 final-reply DATA00000010\n"
         "on download:*#5 data-size +1\n");
    const std::string data = test_pattern_text(16);
    for (const char *expected :
         {"data size too large", "data size too large", "remote: too big", "unknown status code"}) {
        EXPECT_EQ(send_command(device, 0, "download:00000010", data.data(), 16, nullptr), -1);
        EXPECT_STREQ(get_error_text(), expected);
    }
    EXPECT_EQ(send_download(device, 0, data.data(), 16), -1);
    EXPECT_STREQ(get_error_text(), "data size too large");

    Lines wire_lines = wire();
    EXPECT_EQ(std::count(wire_lines.begin(), wire_lines.end(), "data phone bytes=16"), 1) << sim.transcript();
    EXPECT_EQ(wire_lines.back(), "in phone \"DATA00000011\"");
}

TEST_F(FastbootSim, APhoneThatLeavesIsDescribedInTheSystemsWords) {
    open("device phone\non download:* unplug-after 5000\n");
    const std::string data = test_pattern_text(10000);
    EXPECT_EQ(send_download(device, 0, data.data(), 10000), -1);
    EXPECT_EQ(get_error_text(), described("data transfer failure", SIM_DEVICE_GONE));
    EXPECT_EQ(send_command(device, 0, "reboot"), -1);
    EXPECT_EQ(get_error_text(), described("command write failed", SIM_DEVICE_GONE));
}

namespace {

class ProgressWindow : public MainWindowTarget {
public:
    LRESULT SendMessageSync(UINT message, WPARAM wParam, LPARAM) override {
        if (message == WM_DOWNLOAD_PROGRESS)
            tags.push_back(wParam);
        return 0;
    }
    std::vector<WPARAM> tags;
};

class ExchangeFake : public FakePhoneTest {
protected:
    void SetUp() override {
        FakePhoneTest::SetUp();
        ErrorText[0] = '\0';
    }
    void replies(std::initializer_list<const char *> texts) {
        for (const char *text : texts)
            fake.read_script.push_back({true, std::nullopt, 0, text});
    }
};

} // namespace

TEST_F(ExchangeFake, OkayToADownloadIsADataPhaseOfNothingFollowedByTheFinalStatus) {
    replies({"OKAY", "INFOdone", "OKAY"});
    const std::string data = test_pattern_text(100);
    std::string echoed = stderr_of([&] { EXPECT_EQ(send_download(handle, 0, data.data(), 100), 0); });
    EXPECT_EQ(echoed, "INFOdone\n");
    EXPECT_EQ(fake.written, "download:00000064");
    EXPECT_EQ(fake.reads.size(), 3u);
}

TEST_F(ExchangeFake, AStatusReadThatFailsAfterAnInfoLineIsDescribed) {
    replies({"INFOwait"});
    fake.read_script.push_back({false, std::nullopt, 1167, ""});
    std::string echoed = stderr_of([&] { EXPECT_EQ(send_command(handle, 0, "flash:boot"), -1); });
    EXPECT_EQ(echoed, "INFOwait\n");
    EXPECT_EQ(get_error_text(), described("status read failed", 1167));
}

TEST_F(ExchangeFake, AFailureBeforeAnyDriverCallIsDescribedByItsOwnCauseNotAStaleOne) {
    errno = EINTR;
    EXPECT_EQ(send_command(nullptr, 0, "reboot"), -1);
    EXPECT_EQ(get_error_text(), described("command write failed", OS_ERROR_INVALID_HANDLE));
}

TEST_F(ExchangeFake, ALongSystemDescriptionIsCutToFitAndKeepsItsParenthesis) {
    g_OsApi.error_text = [](uint32_t) { return std::string(300, 'x'); };
    fake.write_script.push_back({false, std::nullopt, 1167, ""});
    EXPECT_EQ(send_command(handle, 0, "reboot"), -1);
    const std::string text = get_error_text();
    EXPECT_EQ(text.size(), ERROR_TEXT_SIZE - 1);
    EXPECT_EQ(text, "command write failed (" + std::string(ERROR_TEXT_SIZE - 24, 'x') + ")");
}

TEST_F(ExchangeFake, ASizeTheResultCannotCarryIsTooLargeEvenWhenOffered) {
    replies({"DATA80000000"});
    const char data[16] = {};
    EXPECT_EQ(send_command(handle, 0, "download:ffffffff", data, 0xFFFFFFFF, nullptr), -1);
    EXPECT_STREQ(get_error_text(), "data size too large");
    EXPECT_EQ(fake.writes.size(), 1u);
}

TEST_F(ExchangeFake, TheDataPhaseCarriesTheProgressTagAndNeedsNoHeap) {
    replies({"INFOready", "DATA00002710", "OKAY"});
    ProgressWindow window;
    window.tags.reserve(16);
    set_main_window(&window);
    g_ImageTable.ProgressSlice = 1000;
    fake.reads.reserve(8), fake.writes.reserve(8), fake.written.reserve(16384);
    const std::string data = test_pattern_text(10000);

    testing::internal::CaptureStderr();
    start_counting_allocations();
    const int32_t sent = send_command(handle, 77, "download:00002710", data.data(), 10000, nullptr);
    const long allocations = stop_counting_allocations();
    testing::internal::GetCapturedStderr();
    set_main_window(nullptr);
    g_ImageTable.ProgressSlice = 0;

    EXPECT_EQ(sent, 10000);
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(fake.written, "download:00002710" + data);
    ASSERT_FALSE(window.tags.empty());
    EXPECT_EQ(window.tags, std::vector<WPARAM>(window.tags.size(), 77));
}
