// The console station as a script drives it: a process of its own on the simulated phones, commands on
// its standard input, one line per change of a row on its standard output (what a factory's script, and
// the kernel USB tier, read).
#include "rigs/demo/demo_firmware.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"
#include "tools/packer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::chrono::seconds WAIT{30};

std::string program_dir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

} // namespace

TEST(ConsoleStation, ADrivingScriptStartsThePhonesAndReadsOneLinePerChangeOfARow) {
    TempDir dir;
    std::vector<PackBlob> firmware;
    for (const DemoImage &image : DEMO_IMAGES)
        firmware.push_back({image.Name, demo_image_contents(image.Name, 40000)});
    firmware.push_back({"AdbWinApi.dll", read_file(program_dir() + "/" + TARNEX_SIM_FILE)});
    firmware.push_back({"DeviceList.dat", demo_device_list()});
    const std::string station = dir.Path("station");
    write_file(station, pack_flasher_bytes(read_file(program_dir() + "/tarnex-station-console"), firmware));
    fs::permissions(station, fs::perms::owner_all);
    write_file(dir.Path("phones.txt"),
               bytes_of("device a\nname usb:1-1:0\nvendor 0x18d1\nproduct 0xd00d\nrate 2M\n"
                        "on flash:boot fail \"boot is locked\"\n"
                        "device b\nname usb:1-2:0\nvendor 0x18d1\nproduct 0xd00d\nrate 2M\n"));

    ChildProcess console;
    ASSERT_TRUE(console.start(
        {station}, dir.Path("errors.txt"),
        {"TARNEX_SIM_SCENARIO=" + dir.Path("phones.txt"), "TMPDIR=" + dir.Path(), "TEMP=" + dir.Path()}));
    int ready = 0;
    ASSERT_TRUE(console.read_until(
        [&](const std::string &line) { return line.ends_with(": Ready 0%") && ++ready == 2; }, WAIT));
    EXPECT_EQ(console.lines.front(), "Record: " + dir.Path("station.csv"));
    EXPECT_TRUE(console.say("start 7"));  // a row that holds no phone
    EXPECT_TRUE(console.say("start 99")); // no such row
    EXPECT_TRUE(console.say("start"));
    ASSERT_TRUE(console.wait_for_line("Succeeded 1, failed 1", WAIT))
        << ::testing::PrintToString(console.lines);
    EXPECT_TRUE(console.say("exit"));
    console.close_input();
    console.read_until([](const std::string &) { return false; }, WAIT); // every line up to its end
    EXPECT_EQ(console.wait_exit(WAIT), 0);

    // Each row's lines in order: ready, downloading with a percentage that only grows, its outcome.
    for (const std::string row : {"usb:1-1:0 [SIM-a]: ", "usb:1-2:0 [SIM-b]: "}) {
        std::vector<std::string> seen;
        for (const std::string &line : console.lines)
            if (line.rfind(row, 0) == 0)
                seen.push_back(line.substr(row.size()));
        ASSERT_GE(seen.size(), 3u) << row;
        EXPECT_EQ(seen.front(), "Ready 0%");
        int percent = -1;
        for (size_t i = 1; i + 1 < seen.size(); ++i) {
            ASSERT_EQ(seen[i].rfind("Downloading... ", 0), 0u) << seen[i];
            const int now = std::stoi(seen[i].substr(15));
            EXPECT_GT(now, percent) << "one line per change";
            percent = now;
        }
        EXPECT_EQ(seen.back(), row[6] == '1' ? "Download failed! (remote: boot is locked)"
                                             : "Download successfully! 100%");
    }
    const std::vector<uint8_t> errors = read_file(dir.Path("errors.txt"));
    const std::string said(errors.begin(), errors.end());
    EXPECT_NE(said.find("7 cannot be started now\n"), std::string::npos) << said;
    EXPECT_NE(said.find("no row 99\n"), std::string::npos) << said;
    const std::vector<uint8_t> record = read_file(dir.Path("station.csv"));
    const std::string text(record.begin(), record.end());
    EXPECT_NE(text.find(",usb:1-1:0,SIM-a,18d1,d00d,station,"), std::string::npos) << text;
    EXPECT_NE(text.find(",usb:1-2:0,SIM-b,18d1,d00d,station,"), std::string::npos) << text;
}
