// The station's parts apart from its window: the device list it starts phones by, the record's lines and
// file, and the rules of its rows (which row a phone takes, what a row keeps, which phones start by
// themselves). The station as its operator meets it is tests/e2e/station_scenarios.cpp.
#include "app/app_state.h"
#include "app/device_list.h"
#include "app/record_file.h"
#include "app/station.h"
#include "app/window_texts.h"
#include "rigs/demo/demo_firmware.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>

namespace {

namespace fs = std::filesystem;

std::vector<HardwareId> parse(const std::string &text) {
    return parse_device_list(reinterpret_cast<const uint8_t *>(text.data()), text.size());
}

} // namespace

// --- The device list.

TEST(DeviceList, NamesThePhonesOfItsHardwareIdLinesInAnyCaseAndSkipsEverythingElse) {
    const std::vector<uint8_t> demo = demo_device_list();
    EXPECT_EQ(parse_device_list(demo.data(), demo.size()), (std::vector<HardwareId>{{0x18d1, 0xd00d}}));

    const std::vector<HardwareId> ids = parse("# USB\\Vid_1111&Pid_2222 is a comment\r\n"
                                              "\r\n"
                                              "   \t# so is this\r\n"
                                              "  USB\\VID_0BB4&PID_0C02&REV_0100\r\n"
                                              "usb\\vid_18d1&pid_d00d\n"
                                              "USB\\Vid_18d1&Pid_d00d&Rev_0100\n" // again
                                              "USB\\Vid_12&Pid_3456\n"            // too short
                                              "USB\\Vid_12zz&Pid_3456\n"
                                              "USB\\Pid_3456\n"
                                              "nonsense\n"
                                              "USB\\Vid_abcd&Pid_ef01"); // no line end
    EXPECT_EQ(ids, (std::vector<HardwareId>{{0x0bb4, 0x0c02}, {0x18d1, 0xd00d}, {0xabcd, 0xef01}}));
    EXPECT_TRUE(device_list_names(ids, 0xabcd, 0xef01));
    EXPECT_FALSE(device_list_names(ids, 0x1111, 0x2222));
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse_device_list(nullptr, 10).empty());
}

// --- The record's lines.

TEST(StationRecord, AFieldIsQuotedOnlyWhenItMustBeAndItsQuotesAreDoubled) {
    EXPECT_EQ(csv_field("remote: boot is locked"), "remote: boot is locked");
    EXPECT_EQ(csv_field("a,b"), "\"a,b\"");
    EXPECT_EQ(csv_field("say \"no\""), "\"say \"\"no\"\"\"");
    EXPECT_EQ(csv_field("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(csv_field("cr\r"), "\"cr\r\"");
    EXPECT_EQ(csv_field(""), "");
}

TEST(StationRecord, TextsFromPhonesBecomeWellFormedUtf8) {
    EXPECT_EQ(utf8_text("SIM-1"), "SIM-1");
    EXPECT_EQ(utf8_text("\xE4\xB8\xAD"), "\xE4\xB8\xAD");       // well-formed stays
    EXPECT_EQ(utf8_text("ok\xFF"), "ok\xEF\xBF\xBD");           // a stray byte
    EXPECT_EQ(utf8_text("\xE4\xB8x").find("\xEF\xBF\xBD"), 0u); // half a character
    EXPECT_TRUE(utf8_text("\xE4\xB8x").ends_with("\xEF\xBF\xBDx"));
    EXPECT_EQ(utf8_text("\xF0\x9F\x98\x80"), "\xF0\x9F\x98\x80"); // beyond the first plane
}

TEST(StationRecord, TimesAreTheLocalClockWithItsOffsetFromUtc) {
    const char *saved = std::getenv("TZ");
    const std::string previous = saved != nullptr ? saved : "";
    const auto epoch = std::chrono::system_clock::time_point{};
    setenv("TZ", "UTC-2", 1); // two hours east of Greenwich
    tzset();
    EXPECT_EQ(iso8601_local(epoch), "1970-01-01T02:00:00+02:00");
    setenv("TZ", "<-0330>3:30", 1);
    tzset();
    EXPECT_EQ(iso8601_local(epoch + std::chrono::seconds(59)), "1969-12-31T20:30:59-03:30");
    if (saved != nullptr)
        setenv("TZ", previous.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(StationRecord, ALineHoldsEveryColumnInOrder) {
    setenv("TZ", "UTC0", 1);
    tzset();
    UnitLine unit;
    unit.started = std::chrono::system_clock::time_point{} + std::chrono::seconds(86400);
    unit.ended = unit.started + std::chrono::milliseconds(12345);
    unit.host = "bench-3";
    unit.row = "usb:1-4.2:1";
    unit.serial = "A1,B2";
    unit.vendor = 0x18d1;
    unit.product = 0xd00d;
    unit.station = "tx100 station.exe";
    unit.package_crc = 0x0a0b0c0d;
    unit.user_data = true;
    unit.bytes = 123456789012;
    unit.result = RUN_FAILED;
    unit.reason = "remote: \"locked\"";
    EXPECT_EQ(format_unit_line(unit),
              "1970-01-02T00:00:00+00:00,1970-01-02T00:00:12+00:00,bench-3,usb:1-4.2:1,"
              "\"A1,B2\",18d1,d00d,tx100 station.exe,0a0b0c0d,yes,123456789012,12.3,"
              "failed,\"remote: \"\"locked\"\"\"\r\n");
    unsetenv("TZ");
    tzset();
}

// --- The record file.

class StationRecordFile : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_DATA_HOME", (fs::path(dir.Path()) / "data").c_str(), 1); }
    void TearDown() override { unsetenv("XDG_DATA_HOME"); }

    std::string Read(const fs::path &path) {
        std::vector<uint8_t> bytes = read_file(path.string());
        return std::string(bytes.begin(), bytes.end());
    }

    TempDir dir;
    RecordFile record;
    std::string why;
};

TEST_F(StationRecordFile, LiesBesideTheStationWithOneHeaderAndTakesWholeLines) {
    ASSERT_TRUE(record.open(dir.Path(), "s.csv", "Tarnex", &why)) << why;
    const fs::path path = fs::path(dir.Path()) / "s.csv";
    EXPECT_EQ(record.path(), path.string());
    const std::string header = std::string(RECORD_HEADER) + "\r\n";
    EXPECT_EQ(Read(path), header) << "a new file gets its header at once";

    RecordFile again; // the next start of the station
    ASSERT_TRUE(again.open(dir.Path(), "s.csv", "Tarnex", &why)) << why;
    ASSERT_TRUE(again.append("one\r\n", &why)) << why;
    EXPECT_EQ(Read(path), header + "one\r\n");

    fs::remove(path); // moved away by someone: the next line starts a new file
    ASSERT_TRUE(again.append("two\r\n", &why)) << why;
    EXPECT_EQ(Read(path), header + "two\r\n");
}

TEST_F(StationRecordFile, GoesToTheUsersDataFolderWhenTheStationsFolderTakesNone) {
    fs::create_directories(fs::path(dir.Path()) / "s.csv"); // nothing can be written there
    ASSERT_TRUE(record.open(dir.Path(), "s.csv", "Tarnex", &why)) << why;
    EXPECT_EQ(record.path(), (fs::path(dir.Path()) / "data" / "Tarnex" / "s.csv").string());
    ASSERT_TRUE(record.append("one\r\n", &why));
    EXPECT_EQ(Read(record.path()), std::string(RECORD_HEADER) + "\r\none\r\n");
}

TEST_F(StationRecordFile, NowhereToWriteFailsWithTheReasonsAndALineThatFailsIsNotGluedToTheNext) {
    fs::create_directories(fs::path(dir.Path()) / "s.csv");
    write_file((fs::path(dir.Path()) / "data").string(), bytes_of("a file, not a folder"));
    EXPECT_FALSE(record.open(dir.Path(), "s.csv", "Tarnex", &why));
    EXPECT_EQ(record.path(), (fs::path(dir.Path()) / "s.csv").string());
    EXPECT_NE(why.find("cannot open " + record.path()), std::string::npos) << why;
    EXPECT_FALSE(record.append("lost\r\n", &why));
    fs::remove(fs::path(dir.Path()) / "s.csv");
    ASSERT_TRUE(record.append("kept\r\n", &why)) << why;
    EXPECT_EQ(Read(record.path()), std::string(RECORD_HEADER) + "\r\n\r\nkept\r\n");
}

// --- The rows.

class StationRows : public ::testing::Test {
protected:
    void SetUp() override { station.configure({{0x18d1, 0xd00d}}, "host", "station", 0, nullptr); }
    void TearDown() override { station.release_all(); }

    static UsbInterfaceInfo Phone(const char *serial, uint16_t vendor = 0x18d1, uint16_t product = 0xd00d) {
        UsbInterfaceInfo info = {};
        info.vendor_id = vendor;
        info.product_id = product;
        std::snprintf(info.serial_number, sizeof info.serial_number, "%s", serial);
        return info;
    }
    // A phone plugged at `name`: its row, or -1. The device is a record without driver handles.
    int Arrive(const std::string &name, const UsbInterfaceInfo &info) {
        auto *device = new UsbDeviceHandle{};
        const int row = station.arrive(name, device, info, now);
        if (row < 0)
            delete device;
        return row;
    }
    // The phone at `row` ends its download with `state`, as its worker reports it.
    void Finish(int row, DownloadState state) {
        station.row(row).unit.serial = station.row(row).phone.serial_number;
        station.apply_state(row, STATE_DOWNLOADING, now);
        station.apply_state(row, state, now);
    }

    Station station;
    StationClock::time_point now = StationClock::now();
};

TEST_F(StationRows, APhoneTakesTheRowOfItsPortElseTheFirstUnused) {
    EXPECT_EQ(Arrive("port-a", Phone("1")), 0);
    EXPECT_EQ(Arrive("port-b", Phone("2")), 1);
    EXPECT_EQ(station.row(1).status, ROW_READY);
    EXPECT_EQ(station.leave("port-a", now), 0);
    EXPECT_EQ(station.leave("port-a", now), -1) << "it is gone already";
    EXPECT_EQ(Arrive("port-c", Phone("3")), 2) << "row 0 stays pinned to port-a";
    EXPECT_EQ(Arrive("port-a", Phone("4")), 0);
    EXPECT_EQ(Arrive("port-a", Phone("5")), -1) << "the port's row already holds a phone";
}

TEST_F(StationRows, AFullStationReusesTheIdleRowUsedLongestAgoAndOtherwiseWaits) {
    for (int n = 0; n < STATION_ROWS; ++n) {
        now += std::chrono::seconds(1);
        ASSERT_EQ(Arrive("port-" + std::to_string(n), Phone("")), n);
    }
    EXPECT_EQ(Arrive("port-new", Phone("")), -1) << "every row holds a phone";
    now += std::chrono::seconds(1);
    station.leave("port-9", now);
    now += std::chrono::seconds(1);
    station.leave("port-4", now);
    EXPECT_EQ(Arrive("port-new", Phone("")), 9);
    EXPECT_EQ(station.row(9).name, "port-new");
    // A row whose download still runs takes no phone, not even one back at its own port.
    station.row(4).running = 1;
    EXPECT_EQ(Arrive("port-4", Phone("")), -1);
    EXPECT_EQ(Arrive("port-other", Phone("")), -1);
    station.row(4).running = 0;
}

TEST_F(StationRows, LeavingClearsAWaitingRowButKeepsAnOutcomeUntilTheNextPhone) {
    const int ready = Arrive("port-a", Phone("1"));
    const int failed = Arrive("port-b", Phone("2"));
    const int other = Arrive("port-c", Phone("3", 0x1234, 0x5678));
    EXPECT_EQ(station.row(other).status, ROW_NOT_LISTED);
    Finish(failed, STATE_FAILED);
    EXPECT_EQ(station.failed(), 1);
    for (const char *name : {"port-a", "port-b", "port-c"})
        station.leave(name, now);
    EXPECT_EQ(station.row(ready).status, ROW_EMPTY);
    EXPECT_STREQ(station.row(ready).phone.serial_number, "");
    EXPECT_EQ(station.row(other).status, ROW_EMPTY);
    EXPECT_EQ(station.row(failed).status, ROW_FAILED);
    EXPECT_STREQ(station.row(failed).phone.serial_number, "2") << "which unit failed stays on screen";
    EXPECT_FALSE(station.can_start(failed)) << "no phone";
    Arrive("port-b", Phone("9"));
    EXPECT_EQ(station.row(failed).status, ROW_READY);
}

TEST_F(StationRows, OnlyListedPhonesThatHaveNotSucceededStartByThemselves) {
    const int listed = Arrive("port-a", Phone("S1"));
    EXPECT_TRUE(station.row(listed).may_auto_start);
    EXPECT_FALSE(station.row(Arrive("port-b", Phone("S2", 0x1209, 0x7458))).may_auto_start);

    // It succeeded, rebooted and came back, at its port or any other: not again.
    Finish(listed, STATE_SUCCEEDED);
    EXPECT_EQ(station.succeeded(), 1);
    station.leave("port-a", now);
    EXPECT_FALSE(station.row(Arrive("port-a", Phone("S1"))).may_auto_start);
    station.leave("port-a", now);
    EXPECT_FALSE(station.row(Arrive("port-z", Phone("S1"))).may_auto_start);
    // A phone that failed is no reason to hold back the next.
    const int failed = Arrive("port-f", Phone("S3"));
    Finish(failed, STATE_FAILED);
    station.leave("port-f", now);
    EXPECT_TRUE(station.row(Arrive("port-f", Phone("S3"))).may_auto_start);
}

TEST_F(StationRows, APhoneWithoutSerialIsTheSameOneWhenItComesBackToItsRowWithinThirtySeconds) {
    const int row = Arrive("port-a", Phone(""));
    Finish(row, STATE_SUCCEEDED);
    station.leave("port-a", now);
    now += SAME_PHONE_WINDOW - std::chrono::seconds(1);
    EXPECT_FALSE(station.row(Arrive("port-a", Phone(""))).may_auto_start);
    EXPECT_TRUE(station.row(Arrive("port-b", Phone(""))).may_auto_start) << "another row: another phone";

    Finish(row, STATE_SUCCEEDED);
    station.leave("port-a", now);
    now += SAME_PHONE_WINDOW + std::chrono::seconds(1);
    EXPECT_TRUE(station.row(Arrive("port-a", Phone(""))).may_auto_start) << "too late: a new phone";
}

TEST_F(StationRows, NoStartWithoutARecordOrOnceStartsAreStopped) {
    const int row = Arrive("port-a", Phone("1"));
    EXPECT_FALSE(station.can_start(row)) << "this station has no record file";
    RecordFile record;
    station.configure({{0x18d1, 0xd00d}}, "host", "station", 0, &record);
    EXPECT_TRUE(station.can_start(row));
    station.stop_starts("the disk is full");
    station.stop_starts("a later reason");
    EXPECT_FALSE(station.can_start(row));
    EXPECT_EQ(station.stop_reason(), "the disk is full");
}
