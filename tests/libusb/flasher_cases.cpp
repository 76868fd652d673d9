// End to end on a bus with simulated phones (test_bus.h), written once and run over umockdev's emulated
// usbdevfs and over the kernel's own USB stack: the console flasher (tarnex-console with a package
// appended) carrying libtarnex_libusb.so as its "AdbWinApi.dll", driven through its standard input as an
// operator would, and the Qt flasher worked by its operator in process (tarnex-demo-qt). Every partition
// is compared on the phone's side.
#include "drivers/transfer_policy.h"
#include "rigs/demo/demo_firmware.h"
#include "tests/libusb/test_bus.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Generous: a busy machine under a sanitizer, or an emulated processor, may need a long time for the
// 20 MB of the demo firmware.
constexpr auto STATE_TIMEOUT = 240s;

int run(const std::vector<std::string> &args, const std::string &log) {
    ChildProcess c;
    if (!c.start(args, log))
        return -1;
    c.close_input();
    return c.wait_exit(120s);
}

std::string read_text(const std::string &path) {
    std::vector<uint8_t> bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

std::string tail(const std::string &text) {
    return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
}

class Flasher : public BusTest {
protected:
    // The flashers run with the library's own number of writes in flight unless a case asks otherwise.
    void SetUp() override {
        unsetenv(tarnex::drivers::IN_FLIGHT_VARIABLE);
        BusTest::SetUp();
    }
    void TearDown() override {
        unsetenv(tarnex::drivers::IN_FLIGHT_VARIABLE);
        BusTest::TearDown();
    }

    // The flasher FILE made from the base program BASE and the demo firmware, with the library as its
    // driver.
    void make_flasher(const std::string &base, const std::string &file) {
        bin = libusb_test::program_dir();
        std::string error;
        if (!fs::exists(dir.Path("firmware"))) {
            ASSERT_TRUE(write_demo_firmware(dir.Path("firmware").c_str(), &error)) << error;
            fs::copy_file(bin + "/" + TARNEX_LIBUSB_FILE, dir.Path("firmware/AdbWinApi.dll"));
        }
        ASSERT_EQ(run({bin + "/tarnex-pack", "build", bin + "/" + base, dir.Path("firmware"), dir.Path(file)},
                      dir.Path("pack.log")),
                  0)
            << read_text(dir.Path("pack.log"));
    }

    // Puts the phones of `scenario` on the bus and starts the console flasher.
    void start_flasher(const std::string &scenario) {
        ASSERT_NO_FATAL_FAILURE(make_flasher("tarnex-console", "flasher"));
        ASSERT_TRUE(bus().start(scenario, {}));
        ASSERT_TRUE(flasher.start({dir.Path("flasher")}, dir.Path("stderr.txt")));
    }

    std::string diagnostics() {
        return "screen:\n" + flasher.output() + "stderr:\n" + read_text(dir.Path("stderr.txt")) +
               "transcript (end):\n" + tail(bus().transcript());
    }

    // Flashes the phone found, with "UserData": "Ready", then "Download successfully!".
    void flash_with_userdata() {
        ASSERT_TRUE(flasher.wait_for_line("Ready 0%", STATE_TIMEOUT)) << diagnostics();
        flasher.say("userdata");
        flasher.say("start");
        ASSERT_TRUE(flasher.wait_for_line("Download successfully! 100%", STATE_TIMEOUT)) << diagnostics();
    }

    // Ends the flasher the operator's way, once its phone has gone.
    void exit_flasher() {
        flasher.say("exit");
        flasher.close_input();
        EXPECT_EQ(flasher.wait_exit(STATE_TIMEOUT), 0) << diagnostics();
    }

    // The whole demo firmware with "UserData" onto one phone, which then reboots and leaves the bus, the
    // flasher's writes in flight `in_flight` at a time: the phone holds amss.mbn's data phase (the first
    // one that long, written in 4 KiB chunks from its start) at 1 MiB, then takes one step of that many
    // chunks and holds again, and the writes waiting for it then are counted before it takes the rest.
    void flash_whole_firmware(uint32_t in_flight) {
        constexpr uint32_t HOLD_AT = 1 << 20;
        ASSERT_NO_FATAL_FAILURE(start_flasher("device phone\n"));
        ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::HELD, HOLD_AT));
        ASSERT_TRUE(flasher.wait_for_line("Ready 0%", STATE_TIMEOUT)) << diagnostics();
        flasher.say("userdata");
        flasher.say("start");
        ASSERT_TRUE(bus().wait_holding("phone", STATE_TIMEOUT)) << diagnostics();
        ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::HELD, HOLD_AT + in_flight * 4096));
        EXPECT_TRUE(eventually([&] { return bus().out_transfers("phone").pending == in_flight; }))
            << bus().out_transfers("phone").pending << " writes wait at the phone, not " << in_flight;
        ASSERT_TRUE(bus().set_data_phases("phone", DataPhases::TAKEN));
        ASSERT_TRUE(flasher.wait_for_line("Download successfully! 100%", STATE_TIMEOUT)) << diagnostics();
        // The phone reboots and leaves the bus; the flasher notices.
        ASSERT_TRUE(flasher.wait_for_line("No device", STATE_TIMEOUT)) << diagnostics();
        exit_flasher();
        expect_flashed("phone");
        EXPECT_NE(bus().transcript().find("unplug phone reboot"), std::string::npos);
    }

    // Every partition of phone LABEL holds its image; "userdata" and "cache" were erased.
    void expect_flashed(const std::string &label) {
        for (size_t i = 0; i < std::size(DEMO_PARTITIONS); ++i) {
            const DemoImage &image = DEMO_IMAGES[i];
            EXPECT_TRUE(bus().partition(label, DEMO_PARTITIONS[i]) ==
                        demo_image_contents(image.Name, image.Size))
                << label << " " << DEMO_PARTITIONS[i];
        }
        EXPECT_EQ(bus().partition(label, "userdata"), std::vector<uint8_t>());
        EXPECT_EQ(bus().partition(label, "cache"), std::vector<uint8_t>());
    }

    TempDir dir;
    std::string bin;
    ChildProcess flasher;
};

} // namespace

TEST_F(Flasher, FlashesTheWholeFirmwareWithItsWritesInFlightAndSeesThePhoneLeave) {
    ASSERT_NO_FATAL_FAILURE(flash_whole_firmware(tarnex::drivers::IN_FLIGHT_DEFAULT));
}

TEST_F(Flasher, FlashesTheWholeFirmwareOneWriteAtATime) {
    setenv(tarnex::drivers::IN_FLIGHT_VARIABLE, "1", 1);
    ASSERT_NO_FATAL_FAILURE(flash_whole_firmware(1));
}

TEST_F(Flasher, FindsAPhonePluggedInAfterItStarted) {
    ASSERT_NO_FATAL_FAILURE(start_flasher("device phone\nplugged no\n"));
    ASSERT_TRUE(flasher.wait_for_line("No device", STATE_TIMEOUT)) << diagnostics();
    // The flasher's library is up and has looked at the bus before the phone arrives.
    ASSERT_TRUE(bus().plug("phone"));
    ASSERT_TRUE(flasher.wait_for_line("Ready 0%", STATE_TIMEOUT)) << diagnostics();
    ASSERT_TRUE(bus().unplug("phone"));
    ASSERT_TRUE(flasher.wait_for_line("No device", STATE_TIMEOUT)) << diagnostics();
    exit_flasher();
}

TEST_F(Flasher, AnUnplugInSystemImgFailsAndTheSamePortFlashesAgain) {
    // The eleventh download is system.img (8 MB): the phone leaves 4 MiB into it.
    ASSERT_NO_FATAL_FAILURE(start_flasher("device phone\non download:*#11 unplug-after 4M\n"));
    ASSERT_TRUE(flasher.wait_for_line("Ready 0%", STATE_TIMEOUT)) << diagnostics();
    flasher.say("start");
    // Both, in either order: the worker's failure, and the poll finding the phone gone (which may come
    // first, and then the failure stays on the window with no phone held).
    const std::vector<std::string> outcomes = {"Download failed!", "No device",
                                               "Download successfully! 100%"};
    std::string first = flasher.wait_for_line(outcomes, STATE_TIMEOUT);
    ASSERT_TRUE(first == outcomes[0] || first == outcomes[1]) << diagnostics();
    EXPECT_TRUE(flasher.wait_for_line(first == outcomes[0] ? outcomes[1] : outcomes[0], STATE_TIMEOUT))
        << diagnostics();
    std::string transcript = bus().transcript();
    EXPECT_NE(transcript.find("data-cut phone bytes=4194304 of=8388617"), std::string::npos)
        << tail(transcript);
    EXPECT_EQ(transcript.find("flash phone system "), std::string::npos); // never flashed
    // The reason is the device's disappearance, in the system's words, not a time-out.
    std::string errors = read_text(dir.Path("stderr.txt"));
    EXPECT_NE(errors.find("FAILED ("), std::string::npos) << errors;
    EXPECT_EQ(errors.find("timed out"), std::string::npos) << errors;

    // The same phone back in the same port: found again, and flashed completely.
    ASSERT_TRUE(bus().plug("phone"));
    ASSERT_NO_FATAL_FAILURE(flash_with_userdata());
    ASSERT_TRUE(flasher.wait_for_line("No device", STATE_TIMEOUT)) << diagnostics();
    exit_flasher();
    expect_flashed("phone");
}

TEST_F(Flasher, OfTwoPhonesOnTwoPortsHoldsOne) {
    ASSERT_NO_FATAL_FAILURE(start_flasher("device first\ndevice second\n"));
    ASSERT_NO_FATAL_FAILURE(flash_with_userdata());
    // The flashed phone reboots and leaves; the other one is found in its place, untouched so far.
    ASSERT_TRUE(flasher.wait_for_line("Ready 0%", STATE_TIMEOUT)) << diagnostics();
    flasher.say("exit");
    flasher.close_input();
    EXPECT_EQ(flasher.wait_exit(STATE_TIMEOUT), 0) << diagnostics();

    std::string transcript = bus().transcript();
    const bool first_flashed = transcript.find("unplug first reboot") != std::string::npos;
    const std::string flashed = first_flashed ? "first" : "second",
                      other = first_flashed ? "second" : "first";
    expect_flashed(flashed);
    // Not a single command reached the other one.
    EXPECT_EQ(transcript.find("out " + other + " "), std::string::npos) << tail(transcript);
}

TEST_F(Flasher, TheQtFlasherFlashesAPhone) {
    if (!fs::exists(libusb_test::program_dir() + "/tarnex-demo-qt"))
        GTEST_SKIP() << "tarnex-demo-qt is not built here (no Qt in this build)";
    ASSERT_NO_FATAL_FAILURE(make_flasher("tarnex-demo-qt", "qt-flasher"));
    ASSERT_TRUE(bus().start("device phone\n", {}));
    // The window on Qt's offscreen platform, worked by the operator inside the program: it waits for the
    // phone, ticks "UserData", presses "Start", waits for the phone to leave and presses "Exit".
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ChildProcess qt;
    bool started = qt.start({dir.Path("qt-flasher")}, dir.Path("qt-stderr.txt"));
    unsetenv("QT_QPA_PLATFORM");
    ASSERT_TRUE(started);
    qt.close_input();
    int code = qt.wait_exit(STATE_TIMEOUT);
    EXPECT_EQ(code, 0) << qt.output() << read_text(dir.Path("qt-stderr.txt")) << tail(bus().transcript());
    expect_flashed("phone");
}

// The station with four phones, each on a port of its own (on the kernel's tier, four dummy controllers,
// four buses), driven by a script through the console station: every row ready, all started at once with
// "UserData", each phone flashed completely, and a record line for each.
TEST_F(Flasher, TheStationFlashesFourPhonesAtOnceEachInARowOfItsOwn) {
    ASSERT_NO_FATAL_FAILURE(make_flasher("tarnex-station-console", "station"));
    std::string scenario;
    for (int n = 1; n <= 4; ++n)
        scenario += "device p" + std::to_string(n) + "\nvendor 0x18d1\nproduct 0xd00d\n";
    ASSERT_TRUE(bus().start(scenario, {}));
    ASSERT_TRUE(flasher.start({dir.Path("station")}, dir.Path("stderr.txt")));
    // One line per row that changes, each row's name first: wait for each row's line, in any order.
    auto wait_rows = [&](const std::string &state) {
        std::vector<std::string> wanted;
        for (int n = 1; n <= 4; ++n) {
            const std::string label = "p" + std::to_string(n);
            wanted.push_back(bus().interface_name(label) + " [SIM-" + label + "]: " + state);
        }
        while (!wanted.empty()) {
            const std::string seen = flasher.wait_for_line(wanted, STATE_TIMEOUT);
            if (seen.empty())
                return false;
            std::erase(wanted, seen);
        }
        return true;
    };
    ASSERT_TRUE(wait_rows("Ready 0%")) << diagnostics();
    flasher.say("userdata");
    flasher.say("start");
    ASSERT_TRUE(wait_rows("Download successfully! 100%")) << diagnostics();
    ASSERT_TRUE(flasher.wait_for_line("Succeeded 4, failed 0", STATE_TIMEOUT)) << diagnostics();
    exit_flasher();
    uint64_t firmware = 0;
    for (size_t i = 0; i < std::size(DEMO_PARTITIONS); ++i)
        firmware += DEMO_IMAGES[i].Size;
    const std::string record = read_text(dir.Path("station.csv"));
    for (int n = 1; n <= 4; ++n) {
        const std::string label = "p" + std::to_string(n);
        expect_flashed(label);
        EXPECT_NE(record.find("," + bus().interface_name(label) + ",SIM-" + label + ",18d1,d00d,station,"),
                  std::string::npos)
            << record;
    }
    size_t succeeded = 0;
    for (size_t at = record.find(",yes," + std::to_string(firmware) + ","); at != std::string::npos;
         at = record.find(",yes," + std::to_string(firmware) + ",", at + 1))
        ++succeeded;
    EXPECT_EQ(succeeded, 4u) << record;
}
