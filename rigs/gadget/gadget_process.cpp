#include "rigs/gadget/gadget_process.h"

#include "rigs/gadget/control_channel.h"
#include "rigs/gadget/usb_gadget.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

extern char **environ;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace tarnex::gadget {

namespace {

// Generous: the test machine emulates its processor, on a build machine that is busy.
constexpr auto TIMEOUT = 60s;

bool eventually(const std::function<bool()> &done) {
    auto deadline = std::chrono::steady_clock::now() + TIMEOUT;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// Runs $TARNEX_UDEVADM settle, which returns once udevd has handled every event so far (libusb hears of
// a device through udevd); nothing where there is no udevadm to run.
void udev_settle() {
    const char *udevadm = std::getenv("TARNEX_UDEVADM");
    if (udevadm == nullptr || *udevadm == '\0')
        return;
    std::string program = udevadm;
    char settle[] = "settle", timeout[] = "--timeout=60";
    char *argv[] = {program.data(), settle, timeout, nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, udevadm, nullptr, nullptr, argv, environ) == 0)
        waitpid(pid, nullptr, 0);
}

} // namespace

GadgetProcess::~GadgetProcess() {
    kill();
    if (m_out >= 0)
        close(m_out);
}

std::string GadgetProcess::log() const {
    std::ifstream in(m_folder + "/gadget.log");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool GadgetProcess::start(const std::string &program, const std::string &folder, const std::string &scenario,
                          const std::vector<std::string> &options, std::string &error) {
    m_folder = folder;
    fs::create_directories(folder);
    std::ofstream(folder + "/scenario.txt") << scenario;
    std::vector<std::string> args = {program,
                                     "--scenario",
                                     folder + "/scenario.txt",
                                     "--transcript",
                                     folder + "/transcript.txt",
                                     "--partition-dir",
                                     folder + "/partitions",
                                     "--control",
                                     control(),
                                     "--mount-dir",
                                     folder + "/functions"};
    args.insert(args.end(), options.begin(), options.end());
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        error = std::strerror(errno);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, (folder + "/gadget.log").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char *> argv;
    for (const auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    m_out = out[0];
    if (rc != 0) {
        m_pid = -1;
        error = "cannot start " + program + ": " + std::strerror(rc);
        return false;
    }
    // Its "ready" comes once the phones are bound; anything else is its end.
    std::string said;
    auto deadline = std::chrono::steady_clock::now() + TIMEOUT;
    while (said.find("ready\n") == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        pollfd p{m_out, POLLIN, 0};
        char chunk[256];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
            (n = read(m_out, chunk, sizeof chunk)) <= 0) {
            error = "the gadget phone did not start:\n" + log();
            return false;
        }
        said.append(chunk, static_cast<size_t>(n));
    }
    return true;
}

bool GadgetProcess::command(const std::string &line, std::string &answer, std::string &error) const {
    std::string reply;
    if (!control_command(control(), line, reply, error))
        return false;
    if (reply.rfind("ok", 0) != 0) {
        error = line + ": " + reply;
        return false;
    }
    answer = reply.size() > 3 ? reply.substr(3) : "";
    return true;
}

int GadgetProcess::host_bus(const std::string &label, std::string &error) const {
    std::string controller;
    if (!command("controller " + label, controller, error))
        return -1;
    int bus = UsbGadget::host_bus(controller);
    if (bus < 0)
        error = "no host bus for " + controller;
    return bus;
}

bool GadgetProcess::wait_host(const std::string &label, bool present, std::string &error) const {
    int bus = host_bus(label, error);
    if (bus < 0)
        return false;
    // The phone is port 1 of its bus, and its fastboot interface the first of its configuration.
    fs::path interface = "/sys/bus/usb/devices/" + std::to_string(bus) + "-1:1.0";
    bool ok = eventually([&] { return fs::exists(interface) == present; });
    udev_settle();
    if (!ok)
        error = "the host never saw " + label + (present ? " arrive" : " leave");
    return ok;
}

bool GadgetProcess::stop(std::string &error) {
    if (m_pid <= 0)
        return true;
    std::string ignored;
    command("quit", ignored, ignored);
    int status = 0;
    bool ended = eventually([&] { return waitpid(m_pid, &status, WNOHANG) == m_pid; });
    if (!ended) {
        kill();
        error = "the gadget phone did not end when told to";
        return false;
    }
    m_pid = -1;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = "the gadget phone ended with status " + std::to_string(status) + ":\n" + log();
        return false;
    }
    return true;
}

void GadgetProcess::kill() {
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGKILL);
    waitpid(m_pid, nullptr, 0);
    m_pid = -1;
}

} // namespace tarnex::gadget
