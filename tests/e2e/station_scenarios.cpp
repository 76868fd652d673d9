// The station end to end with many phones, as its operator meets it, on every front end: eight phones at
// once with every row's outcome, the counters and the record exact; "Auto start" with phones arriving one
// after another, one off the device list and one that comes back after its reboot; a record that cannot
// be written; "Exit" while phones download. (Its first row running the one-phone scenarios is
// scenarios.cpp with product_station.cpp.)
#include "tests/e2e/front_end.h"

#include "app/window_texts.h"
#include "framework/messages.h"
#include "os/host.h"
#include "package/image_table.h"
#include "res/resource.h"
#include "rigs/demo/demo_firmware.h"
#include "tests/support/handle_check.h"

#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <regex>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr int WAIT_MS = 30000;

// A phone of the demo firmware's device list, plugged at port `port`, with more scenario lines.
std::string phone(const std::string &label, int port, const std::string &more = "") {
    return "device " + label + "\nname usb:1-" + std::to_string(port) +
           ":0\nvendor 0x18d1\nproduct 0xd00d\n" + more;
}

std::string port(int n) {
    return "usb:1-" + std::to_string(n) + ":0";
}

// The fields of one CSV line (RFC 4180), without its line end.
std::vector<std::string> csv_fields(const std::string &line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"')
            fields.back() += line[++i];
        else if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

size_t count_of(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

class Station : public ::testing::Test {
protected:
    void SetUp() override { fe = make_front_end(); }
    void TearDown() override { fe->end(); }

    Operator &op() { return fe->op(); }

    std::vector<PackBlob> Firmware() { return small_firmware(*fe, demo_device_list()); }

    // The bytes of the first `images` images of the flash plan: what a phone accepts until then.
    uint64_t PlanBytes(size_t images) {
        const std::vector<PackBlob> firmware = Firmware();
        uint64_t sum = 0;
        for (size_t i = 0; i < images; ++i)
            sum += firmware[i].Bytes.size();
        return sum;
    }

    void Launch(const std::string &scenario,
                std::vector<std::pair<std::string, std::string>> environment = {}) {
        m_file = pack_flasher_bytes(fe->base(), Firmware());
        fe->environment = std::move(environment);
        ASSERT_TRUE(fe->launch({"station", m_file, scenario, {}}));
        ASSERT_TRUE(op().wait_window(IDD_STATION_DIALOG, fe->start_ms())) << "no window:\n" << fe->errors();
    }

    // The row pinned to `name`, or -1.
    int Row(const std::string &name) {
        for (int n = 0; n < STATION_ROW_COUNT; ++n)
            if (op().text(IDC_ROW_NAME + n) == name)
                return n;
        return -1;
    }

    std::string Status(const std::string &name) {
        const int n = Row(name);
        return n < 0 ? "(no row)" : op().text(IDC_ROW_STATUS + n);
    }

    bool WaitStatus(const std::string &name, const std::string &status) {
        if (op().wait_until([&] { return Status(name) == status; }, WAIT_MS))
            return true;
        ADD_FAILURE() << name << " shows \"" << Status(name) << "\" instead of \"" << status << "\"";
        return false;
    }

    bool WaitCounters(const std::string &succeeded, const std::string &failed) {
        if (op().wait_until(
                [&] {
                    return op().text(IDC_SUCCEEDED_COUNT) == succeeded &&
                           op().text(IDC_FAILED_COUNT) == failed;
                },
                WAIT_MS))
            return true;
        ADD_FAILURE() << "counters " << op().text(IDC_SUCCEEDED_COUNT) << " and "
                      << op().text(IDC_FAILED_COUNT);
        return false;
    }

    // A row as the operator sees it, once it has settled.
    struct RowView {
        std::string status, percent, reason, serial;
        int position;
        bool start, present;
    };
    RowView View(const std::string &name) {
        const int n = Row(name);
        if (n < 0)
            return {"(no row)", "", "", "", -1, false, false};
        return {op().text(IDC_ROW_STATUS + n),
                op().text(IDC_ROW_PERCENT + n),
                op().text(IDC_ROW_REASON + n),
                op().text(IDC_ROW_SERIAL + n),
                op().progress(IDC_ROW_PROGRESS + n).position,
                op().enabled(IDC_ROW_START + n),
                op().picture(IDC_ROW_PICTURE + n) != NoDevicePicture()};
    }
    // The picture of a row without a phone: the last row is never used here.
    uintptr_t NoDevicePicture() { return op().picture(IDC_ROW_PICTURE + STATION_ROW_COUNT - 1); }

    // Every line of the record file (CR LF removed).
    std::vector<std::string> RecordLines() {
        std::vector<std::string> lines;
        std::istringstream text(read_text(fe->work() / "station.csv"));
        for (std::string line; std::getline(text, line);) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            lines.push_back(line);
        }
        return lines;
    }

    // The record's lines by row name, checking on the way what every line has in common.
    std::map<std::string, std::vector<std::string>> Record(size_t expected) {
        std::map<std::string, std::vector<std::string>> units;
        const std::vector<std::string> lines = RecordLines();
        EXPECT_EQ(lines.size(), expected + 1) << read_text(fe->work() / "station.csv");
        if (lines.empty())
            return units;
        EXPECT_EQ(lines[0],
                  "start,end,host,row,serial,vendor,product,station,package_crc32,userdata,bytes,seconds,"
                  "result,reason");
        std::string host;
        EXPECT_TRUE(os_host_name(&host));
        char crc[16];
        const size_t size = m_file.size();
        std::snprintf(crc, sizeof crc, "%02x%02x%02x%02x", m_file[size - 1], m_file[size - 2],
                      m_file[size - 3], m_file[size - 4]);
        const std::regex time(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d)");
        for (size_t i = 1; i < lines.size(); ++i) {
            std::vector<std::string> fields = csv_fields(lines[i]);
            EXPECT_EQ(fields.size(), 14u) << lines[i];
            if (fields.size() != 14)
                continue;
            EXPECT_TRUE(std::regex_match(fields[0], time)) << fields[0];
            EXPECT_TRUE(std::regex_match(fields[1], time)) << fields[1];
            EXPECT_LE(fields[0], fields[1]);
            EXPECT_EQ(fields[2], host);
            EXPECT_EQ(fields[7], "station.exe");
            EXPECT_EQ(fields[8], crc);
            EXPECT_GE(std::stod(fields[11]), 0.0);
            units[fields[3]] = fields;
        }
        return units;
    }

    std::string Transcript() { return read_text(fe->work() / "transcript.txt"); }

    // Closes the open message box with `button` and waits until the window takes input again.
    void Answer(int button) {
        ASSERT_TRUE(op().answer_message_box(button));
        ASSERT_TRUE(op().wait_until([&] { return op().window_enabled(); }, WAIT_MS));
    }

    std::unique_ptr<FrontEnd> fe;
    std::vector<uint8_t> m_file;
};

} // namespace

// Eight phones flashed at once: one fails at flash:boot with a reason that needs quoting in the record,
// one is unplugged in its fourth data phase, six succeed and reboot. Every row, the counters and the eight
// record lines exact; the six phones hold exactly the firmware.
TEST_F(Station, EightPhonesAtOnceEachEndWithTheirOwnOutcomeAndRecordLine) {
    std::string scenario;
    for (int n = 1; n <= 8; ++n) {
        std::string more = "rate 1M\n";
        if (n == 3)
            more += "on flash:boot fail \"boot is locked, \\\"really\\\"\"\n";
        if (n == 6)
            more += "on download:*#4 unplug-after 3000\n";
        scenario += phone("p" + std::to_string(n), n, more);
    }
    Launch(scenario);
    for (int n = 1; n <= 8; ++n)
        ASSERT_TRUE(WaitStatus(port(n), STATUS_READY_TEXT));
    EXPECT_EQ(View(port(1)).serial, "SIM-p1");
    fe->screenshot("eight-ready");
    // The window shows the rows of phones that arrived together before its header: "Start" is enabled a
    // moment after they show Ready.
    ASSERT_TRUE(op().wait_until([&] { return op().enabled(IDOK); }, WAIT_MS));
    ASSERT_TRUE(op().click(IDOK)); // every ready row
    ASSERT_TRUE(op().wait_until([&] { return Status(port(8)) == STATUS_DOWNLOADING_TEXT; }, WAIT_MS));
    fe->screenshot("eight-downloading");
    ASSERT_TRUE(WaitCounters("6", "2"));
    // The phones that left (six rebooted, one unplugged) are shown gone once the watcher has noticed.
    ASSERT_TRUE(op().wait_until(
        [&] {
            for (int n = 1; n <= 8; ++n)
                if (n != 3 && View(port(n)).present)
                    return false;
            return true;
        },
        WAIT_MS));
    fe->screenshot("eight-finished");

    for (int n = 1; n <= 8; ++n) {
        const RowView row = View(port(n));
        SCOPED_TRACE(port(n));
        EXPECT_EQ(row.serial, "SIM-p" + std::to_string(n));
        if (n == 3) { // still plugged in: it can be started again by hand
            EXPECT_EQ(row.status, STATUS_FAILED_TEXT);
            EXPECT_EQ(row.reason, "remote: boot is locked, \"really\"");
            EXPECT_EQ(row.percent, "");
            EXPECT_EQ(row.position, 0);
            EXPECT_TRUE(row.start);
            EXPECT_TRUE(row.present);
        } else if (n == 6) {
            EXPECT_EQ(row.status, STATUS_FAILED_TEXT);
            EXPECT_EQ(row.reason.rfind("data transfer failure (", 0), 0u) << row.reason;
            EXPECT_EQ(row.percent, "");
            EXPECT_FALSE(row.start);
        } else {
            EXPECT_EQ(row.status, STATUS_SUCCEEDED_TEXT);
            EXPECT_EQ(row.reason, "");
            EXPECT_EQ(row.percent, "100%");
            EXPECT_EQ(row.position, 100);
            EXPECT_FALSE(row.start);
        }
    }

    std::map<std::string, std::vector<std::string>> units = Record(8);
    for (int n = 1; n <= 8; ++n) {
        SCOPED_TRACE(port(n));
        ASSERT_EQ(units.count(port(n)), 1u);
        const std::vector<std::string> &unit = units[port(n)];
        EXPECT_EQ(unit[4], "SIM-p" + std::to_string(n));
        EXPECT_EQ(unit[5], "18d1");
        EXPECT_EQ(unit[6], "d00d");
        EXPECT_EQ(unit[9], "no");
        if (n == 3) {
            EXPECT_EQ(unit[10], std::to_string(PlanBytes(10))); // boot was taken, then refused
            EXPECT_EQ(unit[12], "failed");
            EXPECT_EQ(unit[13], "remote: boot is locked, \"really\"");
        } else if (n == 6) {
            EXPECT_EQ(unit[10], std::to_string(PlanBytes(3)));
            EXPECT_EQ(unit[12], "failed");
            EXPECT_EQ(unit[13].rfind("data transfer failure (", 0), 0u);
        } else {
            EXPECT_EQ(unit[10], std::to_string(PlanBytes(12)));
            EXPECT_EQ(unit[12], "succeeded");
            EXPECT_EQ(unit[13], "");
        }
    }
    // The reason with commas and quotes is one quoted field, its quotes doubled.
    const std::vector<std::string> lines = RecordLines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &line) {
                                return line.ends_with(",failed,\"remote: boot is locked, \"\"really\"\"\"");
                            }),
              1);

    const std::vector<PackBlob> firmware = Firmware();
    for (int n : {1, 2, 4, 5, 7, 8})
        for (size_t i = 0; i < std::size(DEMO_PARTITIONS); ++i)
            EXPECT_EQ(read_bytes(fe->work() / "partitions" / ("p" + std::to_string(n)) /
                                 (std::string(DEMO_PARTITIONS[i]) + ".img")),
                      firmware[i].Bytes)
                << "p" << n << " " << DEMO_PARTITIONS[i];
    ASSERT_TRUE(op().click(IDCANCEL));
    int code = -1;
    EXPECT_TRUE(fe->wait_exit(WAIT_MS, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(handle_faults(Transcript()), "");
}

// "Auto start": phones start as they arrive, one after another; a phone off the device list waits for
// the operator; phones that come back in fastboot mode after their reboot (one with a serial number, one
// without) are not flashed again by themselves, but can be started by hand.
TEST_F(Station, AutoStartFlashesArrivalsButNotAPhoneOffTheListNorOneThatAlreadySucceeded) {
    // Plugged in some seconds after start-up, so that "Auto start" is ticked first; away after the reboot
    // for longer than the station's poll period (half a second), as a real phone is.
    Launch(phone("a", 1, "plugged after 4000\nafter-reboot back 1500\nrate 4M\n") +
           phone("b", 2, "serial none\nplugged after 4500\nafter-reboot back 1500\nrate 4M\n") +
           "device c\nname usb:1-3:0\nplugged after 5000\n");
    ASSERT_TRUE(op().click(IDC_AUTO_START));
    ASSERT_TRUE(op().wait_until([&] { return op().check(IDC_AUTO_START) == BST_CHECKED; }, WAIT_MS));
    ASSERT_EQ(Row(port(1)), -1) << "a phone arrived before Auto start was ticked";

    ASSERT_TRUE(WaitCounters("2", "0"));
    ASSERT_TRUE(WaitStatus(port(3), STATUS_NOT_LISTED_TEXT));
    // Both came back after their reboot: ready, and left alone.
    ASSERT_TRUE(WaitStatus(port(1), STATUS_READY_TEXT));
    ASSERT_TRUE(WaitStatus(port(2), STATUS_READY_TEXT));
    const std::string transcript = Transcript();
    EXPECT_EQ(count_of(transcript, "plug a\n"), 2u) << transcript;
    EXPECT_EQ(count_of(transcript, "plug b\n"), 2u);
    // A few more polls: nothing starts.
    const size_t opens = count_of(Transcript(), "open a ");
    ASSERT_TRUE(op().wait_until([&] { return count_of(Transcript(), "open a ") >= opens + 9; }, WAIT_MS));
    EXPECT_EQ(count_of(Transcript(), "out a \"reboot\""), 1u);
    EXPECT_EQ(count_of(Transcript(), "out b \"reboot\""), 1u);
    EXPECT_EQ(Transcript().find("out c "), std::string::npos) << "the phone off the list was started";
    EXPECT_EQ(op().text(IDC_SUCCEEDED_COUNT), "2");
    fe->screenshot("auto-start");

    // By hand, a phone that succeeded is flashed again, and so is one off the list.
    ASSERT_TRUE(op().click(IDC_ROW_START + Row(port(1))));
    ASSERT_TRUE(op().click(IDC_ROW_START + Row(port(3))));
    ASSERT_TRUE(WaitCounters("4", "0"));
    EXPECT_EQ(count_of(Transcript(), "out a \"reboot\""), 2u);
    EXPECT_EQ(count_of(Transcript(), "out c \"reboot\""), 1u);
    const std::map<std::string, std::vector<std::string>> units = Record(4);
    EXPECT_EQ(units.at(port(2))[4], "") << "no serial number";
    EXPECT_EQ(units.at(port(3))[5], "1209");
}

// A record that cannot be written: at start-up (neither beside the station nor in the user's data folder)
// no phone can start, and a message box says why; during a run, the line that fails stops every new start
// with the same message box, while the phone still downloading finishes.
TEST_F(Station, ARecordThatCannotBeWrittenStopsNewStartsAndSaysWhy) {
    fs::create_directories(fe->work() / "station.csv"); // a folder where the file should be
    write_bytes(fe->work() / "blocker", {'x'});         // a file where the data folder should be
    const std::string nowhere = (fe->work() / "blocker" / "data").string();
    // (Not HOME: Wine keeps the prefix's user folders after it, and would lose them for the whole prefix.)
    Launch(phone("p1", 1), {{"LOCALAPPDATA", nowhere}, {"APPDATA", nowhere}, {"XDG_DATA_HOME", nowhere}});
    OperatorMessageBox box;
    ASSERT_TRUE(op().wait_message_box(&box, WAIT_MS));
    EXPECT_EQ(box.text.rfind("No phone can be started: the record of the units cannot be written (", 0), 0u)
        << box.text;
    EXPECT_NE(box.text.find("station.csv"), std::string::npos) << box.text;
    EXPECT_TRUE(box.ok_only);
    fe->screenshot("record-failed");
    Answer(IDOK);
    ASSERT_TRUE(WaitStatus(port(1), STATUS_READY_TEXT));
    EXPECT_FALSE(op().enabled(IDC_ROW_START + Row(port(1))));
    EXPECT_FALSE(op().enabled(IDOK));
    EXPECT_NE(op().text(IDC_RECORD_PATH).find("station.csv"), std::string::npos);
    ASSERT_TRUE(op().click(IDCANCEL));
    int code = -1;
    ASSERT_TRUE(fe->wait_exit(WAIT_MS, &code));
    EXPECT_EQ(code, 0);
    fe->end();

    fs::remove_all(fe->work() / "station.csv");
    // p1 is quick and stays plugged in; p2 takes a few seconds.
    Launch(phone("p1", 1, "on reboot reply OKAY\n") + phone("p2", 2, "on reboot reply OKAY\nrate 100K\n"));
    ASSERT_TRUE(WaitStatus(port(2), STATUS_READY_TEXT));
    ASSERT_TRUE(op().click(IDC_ROW_START + Row(port(2))));
    ASSERT_TRUE(WaitStatus(port(2), STATUS_DOWNLOADING_TEXT));
    fs::remove(fe->work() / "station.csv");
    fs::create_directories(fe->work() / "station.csv");
    ASSERT_TRUE(op().click(IDC_ROW_START + Row(port(1))));
    ASSERT_TRUE(op().wait_message_box(&box, WAIT_MS));
    EXPECT_EQ(box.text.rfind("No phone can be started: the record of the units cannot be written (", 0), 0u)
        << box.text;
    Answer(IDOK);
    EXPECT_EQ(Status(port(1)), STATUS_SUCCEEDED_TEXT);
    EXPECT_FALSE(op().enabled(IDC_ROW_START + Row(port(1)))) << "starts are stopped";
    ASSERT_TRUE(WaitStatus(port(2), STATUS_SUCCEEDED_TEXT)) << "the phone already running finishes";
    EXPECT_TRUE(WaitCounters("2", "0"));
    EXPECT_FALSE(op().enabled(IDC_ROW_START + Row(port(2))));
}

// "Exit" while phones download asks first; "No" leaves them downloading, "Yes" ends the station and
// records each of them as aborted.
TEST_F(Station, ExitWhilePhonesDownloadAsksThenRecordsThemAborted) {
    Launch(phone("p1", 1, "rate 20K\n") + phone("p2", 2, "rate 20K\n") + phone("p3", 3));
    for (int n = 1; n <= 3; ++n)
        ASSERT_TRUE(WaitStatus(port(n), STATUS_READY_TEXT));
    ASSERT_TRUE(op().click(IDC_ROW_START + Row(port(1))));
    ASSERT_TRUE(op().click(IDC_ROW_START + Row(port(2))));
    ASSERT_TRUE(
        op().wait_until([&] { return View(port(1)).position >= 1 && View(port(2)).position >= 1; }, WAIT_MS));

    ASSERT_TRUE(op().click(IDCANCEL));
    OperatorMessageBox box;
    ASSERT_TRUE(op().wait_message_box(&box, WAIT_MS));
    EXPECT_EQ(box.text, station_exit_question(2));
    EXPECT_FALSE(box.ok_only);
    EXPECT_TRUE(box.has_icon);
    fe->screenshot("exit-question");
    Answer(IDNO);
    const int before = View(port(1)).position;
    ASSERT_TRUE(op().wait_until([&] { return View(port(1)).position > before; }, WAIT_MS)) << "it goes on";
    EXPECT_TRUE(op().window_exists());

    ASSERT_TRUE(op().click(IDCANCEL));
    ASSERT_TRUE(op().wait_message_box(&box, WAIT_MS));
    ASSERT_TRUE(op().answer_message_box(IDYES));
    int code = -1;
    ASSERT_TRUE(fe->wait_exit(WAIT_MS, &code));
    EXPECT_EQ(code, 0);

    std::map<std::string, std::vector<std::string>> units = Record(2);
    for (int n : {1, 2}) {
        SCOPED_TRACE(port(n));
        ASSERT_EQ(units.count(port(n)), 1u);
        EXPECT_EQ(units[port(n)][12], "aborted");
        EXPECT_EQ(units[port(n)][13], "the station was closed during the download");
        EXPECT_LT(std::stoull(units[port(n)][10]), PlanBytes(12));
    }
}
