// The console station as a script drives it: a process of its own on the simulated phones, commands on
// its standard input, one line per change of a row on its standard output (what a factory's script, and
// the kernel USB tier, read).
#include "rigs/demo/demo_firmware.h"
#include "tests/support/test_files.h"
#include "tools/packer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;

namespace {

constexpr int WAIT_MS = 30000;

// The console station in a process of its own, with pipes to its standard input and output.
class ConsoleStation {
public:
    bool start(const std::string &program, const std::vector<std::string> &variables,
               const std::string &errors) {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        posix_spawn_file_actions_addclose(&actions, in[1]);
        posix_spawn_file_actions_addclose(&actions, out[0]);
        std::vector<char *> environment;
        for (char **e = environ; *e != nullptr; ++e)
            environment.push_back(*e);
        for (const std::string &variable : variables)
            environment.push_back(const_cast<char *>(variable.c_str()));
        environment.push_back(nullptr);
        char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
        const bool started =
            posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, environment.data()) == 0;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        return started;
    }

    ~ConsoleStation() {
        if (m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        close(m_in);
        close(m_out);
    }

    void say(const std::string &command) {
        const std::string line = command + "\n";
        ASSERT_EQ(write(m_in, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }

    // Reads lines until `done` holds for the last one; false when the output ends or time runs out.
    template <typename Done>
    bool read_until(Done done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
        for (;;) {
            for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
                lines.push_back(m_pending.substr(0, end));
                m_pending.erase(0, end + 1);
                if (done(lines.back()))
                    return true;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd ready = {m_out, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                return false;
            char buffer[4096];
            const ssize_t n = read(m_out, buffer, sizeof buffer);
            if (n <= 0)
                return false;
            m_pending.append(buffer, static_cast<size_t>(n));
        }
    }

    // Closes its input and waits for its exit code (-1 when it did not end normally).
    int finish() {
        close(m_in);
        m_in = -1;
        read_until([](const std::string &) { return false; });
        int status = 0;
        const pid_t pid = std::exchange(m_pid, -1);
        return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> lines;

private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
    std::string m_pending;
};

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

    ConsoleStation console;
    ASSERT_TRUE(console.start(
        station,
        {"TARNEX_SIM_SCENARIO=" + dir.Path("phones.txt"), "TMPDIR=" + dir.Path(), "TEMP=" + dir.Path()},
        dir.Path("errors.txt")));
    int ready = 0;
    ASSERT_TRUE(console.read_until(
        [&](const std::string &line) { return line.ends_with(": Ready 0%") && ++ready == 2; }));
    EXPECT_EQ(console.lines.front(), "Record: " + dir.Path("station.csv"));
    console.say("start 7");  // a row that holds no phone
    console.say("start 99"); // no such row
    console.say("start");
    ASSERT_TRUE(console.read_until([](const std::string &line) { return line == "Succeeded 1, failed 1"; }))
        << ::testing::PrintToString(console.lines);
    console.say("exit");
    EXPECT_EQ(console.finish(), 0);

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
