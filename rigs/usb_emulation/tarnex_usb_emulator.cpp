// tarnex-usb-emulator: runs a program on an emulated USB bus with simulated phones on it. The program's
// libusb sees the phones exactly as it would see real ones at the kernel's USB interface (usbdevfs), so
// any program that uses libusb (the console flasher with libtarnex_libusb.so as its driver, a window
// program, a test) can flash them. See drivers/libusb/README.md.
#include "rigs/usb_emulation/usb_emulation.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char **environ;

using namespace tarnex;
using namespace tarnex::usb_emulation;

namespace {

const char USAGE[] =
    "usage: tarnex-usb-emulator [OPTION...] [--] COMMAND [ARGUMENT...]\n"
    "Runs COMMAND on an emulated USB bus with simulated phones in fastboot mode on it.\n"
    "\n"
    "  --scenario FILE       the phones, in the simulated phone's scenario format (drivers/sim/README.md);\n"
    "                        default: $TARNEX_SIM_SCENARIO, else one healthy phone\n"
    "  --scenario-text TEXT  the same, given as text\n"
    "  --transcript FILE     write the phones' transcript to FILE (default: $TARNEX_SIM_TRANSCRIPT)\n"
    "  --partition-dir DIR   write DIR/LABEL/PARTITION.img after every flash and erase\n"
    "                        (default: $TARNEX_SIM_PARTITION_DIR)\n"
    "  --mass-storage        a memory stick beside the phones, which nothing may touch\n"
    "  --busy LABEL          another program holds the phone LABEL's fastboot interface\n"
    "\n"
    "Exit status: COMMAND's; 3 when COMMAND succeeded but touched what it must not (the faults are\n"
    "printed); 125 when the emulation cannot start; 126 or 127 when COMMAND cannot be run.\n";

int usage_error(const char *text) {
    std::fprintf(stderr, "tarnex-usb-emulator: %s\n%s", text, USAGE);
    return 125;
}

const char *environment(const char *name) {
    const char *v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
}

// VALUE appended to the list in variable NAME with SEPARATOR, or set when there is none.
void append_variable(const char *name, const std::string &value, char separator, bool front) {
    const char *old = environment(name);
    std::string text = old == nullptr ? value : front ? value + separator + old : old + (separator + value);
    setenv(name, text.c_str(), 1);
}

const char PRELOAD[] = "libumockdev-preload.so.0";

bool preloaded() {
    const char *v = environment("LD_PRELOAD");
    return v != nullptr && std::strstr(v, "libumockdev-preload") != nullptr;
}

} // namespace

int main(int argc, char **argv) {
    // The test bed announces plugs and unplugs through udev, which finds the devices in the test bed's
    // sysfs only under umockdev's preload: the launcher runs under it too, as the command will. A
    // sanitized program refuses a library loaded before its runtime unless told otherwise.
    if (!preloaded()) {
        append_variable("LD_PRELOAD", PRELOAD, ':', true);
        append_variable("ASAN_OPTIONS", "verify_asan_link_order=0", ':', false);
        execv("/proc/self/exe", argv);
        std::fprintf(stderr, "tarnex-usb-emulator: cannot restart under umockdev's preload: %s\n",
                     std::strerror(errno));
        return 125;
    }
    sim::ScenarioChoice choice;
    EmulationOptions options;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string &out) {
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        std::string v;
        if (a == "--scenario" && value(v)) {
            choice.file = v;
        } else if (a == "--scenario-text" && value(v)) {
            choice.text = v, choice.have_text = true;
        } else if (a == "--transcript" && value(v)) {
            choice.transcript = v;
        } else if (a == "--partition-dir" && value(v)) {
            choice.partition_dir = v;
        } else if (a == "--mass-storage") {
            options.mass_storage = true;
        } else if (a == "--busy" && value(v)) {
            options.busy.push_back(v);
        } else if (a.size() > 1 && a[0] == '-') {
            return usage_error(("unknown option or missing value: " + a).c_str());
        } else {
            break;
        }
    }
    if (i >= argc)
        return usage_error("no command given");
    if (!choice.file.empty() && choice.have_text)
        return usage_error("--scenario and --scenario-text exclude each other");

    sim::Scenario scenario;
    std::string error;
    if (!sim::choose_scenario(choice, scenario, options.base, error)) {
        std::fprintf(stderr, "tarnex-usb-emulator: %s\n", error.c_str());
        return 125;
    }

    std::unique_ptr<UsbEmulation> bus = UsbEmulation::start(std::move(scenario), options, error);
    if (bus == nullptr) {
        std::fprintf(stderr, "tarnex-usb-emulator: %s\n", error.c_str());
        return 125;
    }

    // The command inherits the preload and the test bed's UMOCKDEV_DIR, and so sees the bus.
    pid_t child = -1;
    int rc = posix_spawnp(&child, argv[i], nullptr, nullptr, argv + i, environ);
    if (rc != 0) {
        std::fprintf(stderr, "tarnex-usb-emulator: cannot run %s: %s\n", argv[i], std::strerror(rc));
        return rc == ENOENT ? 127 : 126;
    }
    // Ctrl-C reaches the command as well (same process group); we wait for it to end.
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_IGN);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    std::vector<std::string> faults = bus->faults();
    for (const auto &f : faults)
        std::fprintf(stderr, "tarnex-usb-emulator: fault: %s\n", f.c_str());
    bus.reset();
    return code == 0 && !faults.empty() ? 3 : code;
}
