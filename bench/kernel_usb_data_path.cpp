// kernel_usb_data_path: the data phase on the kernel's own USB stack, measured inside the test machine of
// rigs/vm (make bench runs it there through rigs/vm/bench.list). A gadget phone on dummy_hcd that counts
// the bytes and keeps none takes data phases of the same size from each run below; every figure is what
// the phone measured, the bytes of its data phases over the time from its DATA reply to its last byte, so
// all of them are measured alike:
//
//   the flasher runs   the console flasher with libtarnex_libusb.so, a firmware of one image, started with
//                      each run's environment (FLASHER_RUNS, and --flasher-env for one more);
//   the libusb loops   the same data phase written with libusb itself, without the product's library:
//                      the references the flasher is read against (LOOPS).
//
// dummy_hcd moves one transfer per 125 µs tick, at about eight times the bandwidth of USB 2.0, so these
// figures are the host's transfer latency, not the speed of a wire. Informational: no target.
//
//   kernel_usb_data_path [--mib N] [--only NAME]... [--flasher-env NAME=VALUE]...
#include "rigs/demo/demo_firmware.h"
#include "rigs/gadget/gadget_process.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarnex::gadget::GadgetProcess;

namespace {

// The phone: it keeps no data (the cheapest phone there is), and is back 300 ms after a reboot.
const char SCENARIO[] = "device phone\ndata discard\nafter-reboot back 300\n";
constexpr uint16_t VENDOR = 0x1209, PRODUCT = 0x7458;
constexpr unsigned IO_TIMEOUT_MS = 60000;

struct Measure {
    uint64_t phases = 0, bytes = 0, microseconds = 0;
};

// The phone opened with libusb itself.
class RawPhone {
public:
    ~RawPhone() {
        if (m_handle != nullptr) {
            libusb_release_interface(m_handle, 0);
            libusb_close(m_handle);
        }
        if (m_context != nullptr)
            libusb_exit(m_context);
    }

    bool open(std::string &error) {
        if (libusb_init(&m_context) != 0 ||
            (m_handle = libusb_open_device_with_vid_pid(m_context, VENDOR, PRODUCT)) == nullptr ||
            libusb_claim_interface(m_handle, 0) != 0) {
            error = "cannot open the phone with libusb";
            return false;
        }
        libusb_config_descriptor *config = nullptr;
        if (libusb_get_active_config_descriptor(libusb_get_device(m_handle), &config) != 0) {
            error = "no configuration";
            return false;
        }
        const libusb_interface_descriptor &alt = config->interface[0].altsetting[0];
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            uint8_t address = alt.endpoint[e].bEndpointAddress;
            ((address & LIBUSB_ENDPOINT_IN) != 0 ? m_in : m_out) = address;
        }
        libusb_free_config_descriptor(config);
        return true;
    }

    bool write(const uint8_t *data, int size, std::string &error) {
        int done = 0;
        int rc =
            libusb_bulk_transfer(m_handle, m_out, const_cast<uint8_t *>(data), size, &done, IO_TIMEOUT_MS);
        if (rc != 0 || done != size) {
            error = std::string("a write failed: ") + libusb_error_name(rc);
            return false;
        }
        return true;
    }

    // One reply; empty after a failure.
    std::string read_reply() {
        unsigned char reply[64];
        int got = 0;
        if (libusb_bulk_transfer(m_handle, m_in, reply, sizeof reply, &got, IO_TIMEOUT_MS) != 0)
            return {};
        return std::string(reinterpret_cast<char *>(reply), static_cast<size_t>(got));
    }

    // A data phase of `total` bytes in transfers of `transfer` bytes, each waited for.
    bool data_phase(uint64_t total, size_t transfer, std::string &error) {
        char command[32];
        std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(total));
        if (!write(reinterpret_cast<const uint8_t *>(command), static_cast<int>(std::strlen(command)), error))
            return false;
        if (read_reply().rfind("DATA", 0) != 0) {
            error = "no DATA reply";
            return false;
        }
        std::vector<uint8_t> chunk(transfer, 0x5A);
        for (uint64_t sent = 0; sent < total; sent += transfer) {
            if (!write(chunk.data(), static_cast<int>(std::min<uint64_t>(transfer, total - sent)), error))
                return false;
        }
        if (read_reply() != "OKAY") {
            error = "no OKAY after the data phase";
            return false;
        }
        return true;
    }

private:
    libusb_context *m_context = nullptr;
    libusb_device_handle *m_handle = nullptr;
    uint8_t m_in = 0, m_out = 0;
};

// A reference loop: `total` bytes in data phases written with libusb itself.
struct Loop {
    const char *name;
    const char *what;
    std::function<bool(RawPhone &, uint64_t total, std::string &error)> run;
};

const std::vector<Loop> LOOPS = {
    {"libusb-sync-4k", "synchronous 4 KiB transfers",
     [](RawPhone &p, uint64_t total, std::string &error) { return p.data_phase(total, 4096, error); }},
    {"libusb-sync-1m", "synchronous 1 MiB transfers",
     [](RawPhone &p, uint64_t total, std::string &error) { return p.data_phase(total, 1 << 20, error); }},
    // Further loops go here, such as 4 KiB transfers with N of them in flight (libusb_submit_transfer).
};

// A start of the console flasher, with its environment.
struct FlasherRun {
    std::string name;
    std::vector<std::string> environment; // NAME=VALUE
};

const std::vector<FlasherRun> FLASHER_RUNS = {
    {"flasher", {}},
    // Further runs go here, such as {"flasher-in-flight", {"TARNEX_USB_IN_FLIGHT=1"}}.
};

class Bench {
public:
    bool start(std::string &error) {
        m_bin = fs::read_symlink("/proc/self/exe").parent_path().string();
        return m_phone.start(m_bin + "/tarnex-gadget-phone", m_dir.Path("phone"), SCENARIO, {}, error) &&
               m_phone.wait_host("phone", true, error);
    }

    bool measure(const std::function<bool(std::string &)> &run, Measure &m, std::string &error) {
        Measure before;
        if (!stats(before, error) || !run(error) || !stats(m, error))
            return false;
        m.phases -= before.phases, m.bytes -= before.bytes, m.microseconds -= before.microseconds;
        return true;
    }

    bool loop(const Loop &l, uint64_t total, std::string &error) {
        RawPhone p;
        return p.open(error) && l.run(p, total, error);
    }

    // The flasher with a firmware of one image of `total` bytes: "Ready", "start", "Download
    // successfully!", and the phone back after its reboot.
    bool flasher(const FlasherRun &r, uint64_t total, std::string &error) {
        if (!make_flasher(total, error))
            return false;
        std::vector<std::string> names;
        for (const auto &e : r.environment) {
            names.push_back(e.substr(0, e.find('=')));
            setenv(names.back().c_str(), e.substr(e.find('=') + 1).c_str(), 1);
        }
        ChildProcess f;
        bool started = f.start({m_dir.Path("flasher")}, m_dir.Path("flasher.log"));
        for (const auto &n : names)
            unsetenv(n.c_str());
        bool ok = started && f.wait_for_line("Ready 0%", 120s);
        if (ok) {
            f.say("start");
            ok = f.wait_for_line("Download successfully! 100%", 1800s) && f.wait_for_line("No device", 120s);
        }
        f.say("exit");
        f.close_input();
        if (f.wait_exit(120s) != 0 || !ok) {
            error = "the flasher did not flash the phone:\n" + f.output();
            return false;
        }
        return m_phone.wait_host("phone", true, error);
    }

private:
    bool stats(Measure &m, std::string &error) {
        std::string answer;
        if (!m_phone.command("stats phone", answer, error))
            return false;
        unsigned long long phases = 0, bytes = 0, microseconds = 0;
        if (std::sscanf(answer.c_str(), "phases=%llu bytes=%llu microseconds=%llu", &phases, &bytes,
                        &microseconds) != 3) {
            error = "the phone's stats: " + answer;
            return false;
        }
        m = {phases, bytes, microseconds};
        return true;
    }

    bool make_flasher(uint64_t total, std::string &error) {
        if (fs::exists(m_dir.Path("flasher")))
            return true;
        fs::create_directories(m_dir.Path("firmware"));
        write_file(m_dir.Path("firmware/system.img"), std::vector<uint8_t>(total, 0xA5));
        write_file(m_dir.Path("firmware/DeviceList.dat"), demo_device_list());
        fs::copy_file(m_bin + "/libtarnex_libusb.so", m_dir.Path("firmware/AdbWinApi.dll"));
        ChildProcess pack;
        if (!pack.start({m_bin + "/tarnex-pack", "build", m_bin + "/tarnex-console", m_dir.Path("firmware"),
                         m_dir.Path("flasher")},
                        m_dir.Path("pack.log"))) {
            error = "cannot run tarnex-pack";
            return false;
        }
        pack.close_input();
        if (pack.wait_exit(300s) != 0) {
            error = "tarnex-pack failed";
            return false;
        }
        return true;
    }

    TempDir m_dir;
    std::string m_bin;
    GadgetProcess m_phone;
};

void report(const std::string &name, const std::string &what, const Measure &m) {
    double seconds = static_cast<double>(m.microseconds) / 1e6;
    double rate = seconds > 0 ? static_cast<double>(m.bytes) / seconds : 0;
    std::printf(
        "info kernel_usb %-18s %12.0f B/s  %7.1f MB/s  (%llu data phase(s), %llu bytes, %.2f s; %s)\n",
        name.c_str(), rate, rate / 1e6, static_cast<unsigned long long>(m.phases),
        static_cast<unsigned long long>(m.bytes), seconds, what.c_str());
}

bool selected(const std::vector<std::string> &only, const std::string &name) {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
}

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    uint64_t mib = 64;
    std::vector<std::string> only;
    std::vector<FlasherRun> flasher_runs = FLASHER_RUNS;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--mib")
            mib = std::strtoull(v.c_str(), nullptr, 10);
        else if (a == "--only")
            only.push_back(v);
        else if (a == "--flasher-env")
            flasher_runs.push_back({"flasher+" + v, {v}});
    }
    if (geteuid() != 0 || !fs::exists("/sys/class/udc") || fs::is_empty("/sys/class/udc")) {
        std::printf("kernel_usb_data_path: skipped: not in the test machine (make bench runs it there)\n");
        return 0;
    }
    const uint64_t total = mib << 20;
    std::printf(
        "kernel-usb: data phases of %llu MiB into a gadget phone on dummy_hcd, as the phone measured them "
        "(from its DATA reply to its last byte)\n",
        static_cast<unsigned long long>(mib));
    std::printf(
        "kernel-usb: dummy_hcd moves one transfer per 125 us tick at about 8 times the bandwidth of USB "
        "2.0: these figures are the host's transfer latency, not the speed of a wire\n");
    Bench bench;
    std::string error;
    if (!bench.start(error)) {
        std::fprintf(stderr, "kernel_usb_data_path: %s\n", error.c_str());
        return 1;
    }
    int failed = 0;
    Measure first_flasher, first_loop;
    for (const auto &r : flasher_runs) {
        Measure m;
        if (!selected(only, r.name))
            continue;
        if (!bench.measure([&](std::string &e) { return bench.flasher(r, total, e); }, m, error)) {
            std::fprintf(stderr, "kernel_usb_data_path: %s: %s\n", r.name.c_str(), error.c_str());
            ++failed;
            continue;
        }
        std::string environment;
        for (const auto &e : r.environment)
            environment += " " + e;
        report(r.name, "the console flasher" + (environment.empty() ? "" : " with" + environment), m);
        if (first_flasher.bytes == 0)
            first_flasher = m;
    }
    for (const auto &l : LOOPS) {
        Measure m;
        if (!selected(only, l.name))
            continue;
        if (!bench.measure([&](std::string &e) { return bench.loop(l, total, e); }, m, error)) {
            std::fprintf(stderr, "kernel_usb_data_path: %s: %s\n", l.name, error.c_str());
            ++failed;
            continue;
        }
        report(l.name, l.what, m);
        if (first_loop.bytes == 0)
            first_loop = m;
    }
    if (first_flasher.microseconds != 0 && first_loop.microseconds != 0) {
        double ratio = static_cast<double>(first_loop.microseconds) /
                       static_cast<double>(first_flasher.microseconds) *
                       static_cast<double>(first_flasher.bytes) / static_cast<double>(first_loop.bytes);
        std::printf("info kernel_usb %s / %s %.2f (the flasher's data phase against plain libusb)\n",
                    flasher_runs.front().name.c_str(), LOOPS.front().name, ratio);
    }
    return failed == 0 ? 0 : 1;
}
