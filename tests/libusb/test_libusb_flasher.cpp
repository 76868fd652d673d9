// End to end: the console flasher (build/.../bin/tarnex-console with a package appended) carrying
// libtarnex_libusb.so as its "AdbWinApi.dll", run by tarnex-usb-emulator on the emulated bus, driven
// through its standard input as an operator would, exactly as another program (a demo, a window test)
// would use the emulator.
#include "rigs/demo/demo_firmware.h"
#include "tests/libusb/libusb_test.h"
#include "tests/support/test_files.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Generous: a busy machine under a sanitizer may need a long time for the 20 MB of the demo firmware.
constexpr auto STATE_TIMEOUT = 240s;

// A program with its standard input and output on pipes and its standard error in a file.
class Child {
public:
    bool start(const std::vector<std::string> &args, const std::string &stderr_file) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        return rc == 0;
    }

    ~Child() {
        if (m_in >= 0)
            close(m_in);
        if (m_out >= 0)
            close(m_out);
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    void say(const std::string &line) {
        std::string text = line + "\n";
        ssize_t ignored = write(m_in, text.data(), text.size());
        (void)ignored;
    }

    void close_input() {
        close(m_in);
        m_in = -1;
    }

    // Reads lines until one equals `wanted`; false at the end of the output or after the time-out.
    bool wait_for_line(const std::string &wanted, std::chrono::seconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t nl;
            while ((nl = m_buffer.find('\n')) != std::string::npos) {
                std::string line = m_buffer.substr(0, nl);
                m_buffer.erase(0, nl + 1);
                lines.push_back(line);
                if (line == wanted)
                    return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    // The exit code, or -1 when the program does not end in time (it is then killed).
    int wait_exit(std::chrono::seconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            // Draining the output keeps the program from blocking on a full pipe.
            pollfd p{m_out, POLLIN, 0};
            if (m_out >= 0 && poll(&p, 1, 50) > 0) {
                char chunk[4096];
                if (read(m_out, chunk, sizeof chunk) <= 0) {
                    close(m_out);
                    m_out = -1;
                }
            } else if (m_out < 0) {
                usleep(50000);
            }
        }
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string output() const {
        std::string text;
        for (const auto &l : lines)
            text += l + "\n";
        return text;
    }

    std::vector<std::string> lines;

private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
    bool m_reaped = false;
    std::string m_buffer;
};

int run(const std::vector<std::string> &args, const std::string &log) {
    Child c;
    if (!c.start(args, log))
        return -1;
    c.close_input();
    return c.wait_exit(120s);
}

class LibusbFlasher : public ::testing::Test {
protected:
    void SetUp() override {
        // The emulator puts its command under umockdev's preload; without it there is no bus.
        void *preload = dlopen(libusb_test::PRELOAD, RTLD_LAZY);
        if (preload == nullptr)
            GTEST_SKIP() << "umockdev's preload library " << libusb_test::PRELOAD
                         << " cannot be loaded (Debian package umockdev): no emulated USB bus";
        dlclose(preload);
        libusb_test::add_thread_sanitizer_suppressions(); // for the emulator and the flasher
        bin = libusb_test::program_dir();
        std::string error;
        ASSERT_TRUE(write_demo_firmware(dir.Path("firmware").c_str(), &error)) << error;
        fs::copy_file(bin + "/" + TARNEX_LIBUSB_FILE, dir.Path("firmware/AdbWinApi.dll"));
        ASSERT_EQ(run({bin + "/tarnex-pack", "build", bin + "/tarnex-console", dir.Path("firmware"),
                       dir.Path("flasher")},
                      dir.Path("pack.log")),
                  0)
            << read_text(dir.Path("pack.log"));
    }

    // Starts the flasher on the emulated bus with the phone of `scenario` and a memory stick beside it.
    bool start_flasher(const std::string &scenario) {
        write_file(dir.Path("phone.txt"), std::vector<uint8_t>(scenario.begin(), scenario.end()));
        return flasher.start({bin + "/tarnex-usb-emulator", "--mass-storage", "--scenario",
                              dir.Path("phone.txt"), "--transcript", dir.Path("transcript.txt"),
                              "--partition-dir", dir.Path("partitions"), "--", dir.Path("flasher")},
                             dir.Path("stderr.txt"));
    }

    static std::string read_text(const std::string &path) {
        std::vector<uint8_t> bytes = read_file(path);
        return std::string(bytes.begin(), bytes.end());
    }

    std::string diagnostics() {
        return "screen:\n" + flasher.output() + "stderr:\n" + read_text(dir.Path("stderr.txt")) +
               "transcript (end):\n" + tail(read_text(dir.Path("transcript.txt")));
    }

    static std::string tail(const std::string &text) {
        return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
    }

    TempDir dir;
    std::string bin;
    Child flasher;
};

TEST_F(LibusbFlasher, FlashesTheWholeFirmwareAndSeesThePhoneLeave) {
    ASSERT_TRUE(start_flasher("device phone\n"));
    ASSERT_TRUE(flasher.wait_for_line("Ready 0%", STATE_TIMEOUT)) << diagnostics();
    flasher.say("userdata");
    flasher.say("start");
    ASSERT_TRUE(flasher.wait_for_line("Download successfully! 100%", STATE_TIMEOUT)) << diagnostics();
    // The phone reboots and leaves the bus; the flasher notices.
    ASSERT_TRUE(flasher.wait_for_line("No device", STATE_TIMEOUT)) << diagnostics();
    flasher.say("exit");
    flasher.close_input();
    EXPECT_EQ(flasher.wait_exit(STATE_TIMEOUT), 0) << diagnostics(); // 3: the memory stick was touched

    for (size_t i = 0; i < std::size(DEMO_PARTITIONS); ++i) {
        const DemoImage &image = DEMO_IMAGES[i];
        std::string path = dir.Path(std::string("partitions/phone/") + DEMO_PARTITIONS[i] + ".img");
        EXPECT_TRUE(read_file(path) == demo_image_contents(image.Name, image.Size)) << DEMO_PARTITIONS[i];
    }
    EXPECT_EQ(fs::file_size(dir.Path("partitions/phone/userdata.img")), 0u); // erased
    EXPECT_EQ(fs::file_size(dir.Path("partitions/phone/cache.img")), 0u);
    std::string transcript = read_text(dir.Path("transcript.txt"));
    EXPECT_NE(transcript.find("unplug phone reboot"), std::string::npos);
    EXPECT_EQ(transcript.find("fault"), std::string::npos) << tail(transcript);
}

TEST_F(LibusbFlasher, AnUnplugInTheDataPhaseFailsTheDownloadAndTheFlasherEndsCleanly) {
    // The sixth download is amss.mbn (3.2 MB): the phone leaves a megabyte into it.
    ASSERT_TRUE(start_flasher("device phone\non download:*#6 unplug-after 1M\n"));
    ASSERT_TRUE(flasher.wait_for_line("Ready 0%", STATE_TIMEOUT)) << diagnostics();
    flasher.say("start");
    ASSERT_TRUE(flasher.wait_for_line("Download failed!", STATE_TIMEOUT)) << diagnostics();
    ASSERT_TRUE(flasher.wait_for_line("No device", STATE_TIMEOUT)) << diagnostics();
    flasher.say("exit");
    flasher.close_input();
    EXPECT_EQ(flasher.wait_exit(STATE_TIMEOUT), 0) << diagnostics();

    std::string transcript = read_text(dir.Path("transcript.txt"));
    EXPECT_NE(transcript.find("data-cut phone bytes=1048576 of=3200013"), std::string::npos)
        << tail(transcript);
    EXPECT_EQ(transcript.find("flash phone amss "), std::string::npos); // never flashed
    // The reason is the device's disappearance, in the system's words, not a time-out.
    std::string errors = read_text(dir.Path("stderr.txt"));
    EXPECT_NE(errors.find("FAILED ("), std::string::npos) << errors;
    EXPECT_EQ(errors.find("timed out"), std::string::npos) << errors;
}

} // namespace
