// kernel_usb_data_path: the data phase on the kernel's own USB stack, measured inside the test machine of
// rigs/vm (make bench runs it there through rigs/vm/bench.list). A gadget phone on dummy_hcd that counts
// the bytes and keeps none takes data phases of the same size from each run below; every rate is what
// the phone measured, the bytes of its data phase over the time from its DATA reply to its last byte, so
// all of them are measured alike:
//
//   flasher-in-flight      the console flasher with libtarnex_libusb.so and a firmware of one image, its
//                          writes in flight (the library's number, N);
//   flasher-one-at-a-time  the same with TARNEX_USB_IN_FLIGHT=1;
//   libusb-async-4k        4 KiB transfers straight through libusb's asynchronous interface, N in flight,
//                          each submitted again from its completion: what the library is held against.
//
// Each of them runs `--runs` times (3), in rounds, so that a machine that slows down meanwhile slows all
// of them alike; each run and the medians are printed, with the CPU time the sending process spent per
// GiB it sent (the flasher's from /proc, from "Ready" to its success; the loop's own). Then the two
// targets, in scripts/bench.sh's format, from the medians:
//
//   target kernel_usb_in_flight_vs_one_at_a_time RATIO 3.00 met|missed
//   target kernel_usb_in_flight_vs_async_loop RATIO 0.80 met|missed
//
// and, once each, synchronous loops of 4 KiB and 1 MiB transfers for comparison. dummy_hcd moves the
// data of a whole frame in every 125 µs tick, at about eight times the bandwidth of USB 2.0, and runs on
// an emulated processor here: these rates are the host's transfer latency and cost, not the speed of a
// wire. The flasher's CPU time covers its whole download (the command exchanges, the reboot); the
// loop's, its data phase.
//
//   kernel_usb_data_path [--mib N] [--runs K] [--in-flight N] [--only NAME]...
#include "bench/targets.h"
#include "drivers/transfer_policy.h"
#include "rigs/demo/demo_firmware.h"
#include "rigs/gadget/gadget_process.h"
#include "tests/support/child_process.h"
#include "tests/support/test_files.h"

#include <libusb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
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
constexpr uint32_t CHUNK = 4096; // the flasher's data chunk

constexpr double IN_FLIGHT_VS_ONE_LIMIT = 3.0;
constexpr double IN_FLIGHT_VS_LOOP_LIMIT = 0.8;

struct Measure {
    uint64_t phases = 0, bytes = 0, microseconds = 0;
    double cpu_seconds = -1; // of the sending process during the run; negative where unknown

    double rate() const {
        return microseconds > 0 ? static_cast<double>(bytes) * 1e6 / static_cast<double>(microseconds) : 0;
    }
    double cpu_per_gib() const {
        return cpu_seconds >= 0 && bytes > 0 ? cpu_seconds * (1u << 30) / static_cast<double>(bytes) : -1;
    }
};

double own_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The CPU time process `pid` has spent so far (user and system), from /proc; negative when unknown.
double process_cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t end_of_name = stat.rfind(')');
    if (end_of_name == std::string::npos)
        return -1;
    // After the name: state, ppid, ... utime and stime are the 12th and 13th fields (14 and 15 of all).
    std::istringstream fields(stat.substr(end_of_name + 1));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12)
            utime = std::strtoull(field.c_str(), nullptr, 10);
        if (i == 13)
            stime = std::strtoull(field.c_str(), nullptr, 10);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The phone opened with libusb itself.
class RawPhone {
public:
    ~RawPhone() {
        for (libusb_transfer *t : m_transfers)
            libusb_free_transfer(t);
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

    // A data phase of `total` bytes in transfers of `transfer` bytes, each waited for.
    bool sync_data_phase(uint64_t total, size_t transfer, std::string &error) {
        if (!start_download(total, error))
            return false;
        std::vector<uint8_t> chunk(transfer, 0x5A);
        for (uint64_t sent = 0; sent < total; sent += transfer) {
            if (!write(chunk.data(), static_cast<int>(std::min<uint64_t>(transfer, total - sent)), error))
                return false;
        }
        return finish_download(error);
    }

    // A data phase of `total` bytes in transfers of `transfer` bytes with `depth` of them in flight, each
    // submitted again from its completion.
    bool async_data_phase(uint64_t total, size_t transfer, unsigned depth, std::string &error) {
        if (!start_download(total, error))
            return false;
        m_chunk.assign(transfer, 0x5A);
        m_left = total;
        m_busy = 0;
        m_failed = false;
        while (m_transfers.size() < depth)
            m_transfers.push_back(libusb_alloc_transfer(0));
        for (libusb_transfer *t : m_transfers) {
            if (m_left == 0 || !submit_next(t))
                break;
        }
        while (m_busy > 0)
            libusb_handle_events(m_context);
        if (m_failed || m_left != 0) {
            error = "an asynchronous write failed";
            return false;
        }
        return finish_download(error);
    }

private:
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

    bool start_download(uint64_t total, std::string &error) {
        char command[32];
        std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(total));
        if (!write(reinterpret_cast<const uint8_t *>(command), static_cast<int>(std::strlen(command)), error))
            return false;
        if (read_reply().rfind("DATA", 0) != 0) {
            error = "no DATA reply";
            return false;
        }
        return true;
    }

    bool finish_download(std::string &error) {
        if (read_reply() != "OKAY") {
            error = "no OKAY after the data phase";
            return false;
        }
        return true;
    }

    bool submit_next(libusb_transfer *t) {
        int size = static_cast<int>(std::min<uint64_t>(m_chunk.size(), m_left));
        libusb_fill_bulk_transfer(t, m_handle, m_out, m_chunk.data(), size, &RawPhone::completed, this,
                                  IO_TIMEOUT_MS);
        if (libusb_submit_transfer(t) != 0) {
            m_failed = true;
            return false;
        }
        m_left -= static_cast<uint64_t>(size);
        ++m_busy;
        return true;
    }

    static void LIBUSB_CALL completed(libusb_transfer *t) {
        auto *self = static_cast<RawPhone *>(t->user_data);
        --self->m_busy;
        if (t->status != LIBUSB_TRANSFER_COMPLETED || t->actual_length != t->length)
            self->m_failed = true;
        else if (self->m_left > 0 && !self->m_failed)
            self->submit_next(t);
    }

    libusb_context *m_context = nullptr;
    libusb_device_handle *m_handle = nullptr;
    uint8_t m_in = 0, m_out = 0;
    std::vector<libusb_transfer *> m_transfers;
    std::vector<uint8_t> m_chunk;
    uint64_t m_left = 0; // bytes not yet submitted
    unsigned m_busy = 0;
    bool m_failed = false;
};

class Bench {
public:
    bool start(std::string &error) {
        m_bin = fs::read_symlink("/proc/self/exe").parent_path().string();
        return m_phone.start(m_bin + "/tarnex-gadget-phone", m_dir.Path("phone"), SCENARIO, {}, error) &&
               m_phone.wait_host("phone", true, error);
    }

    // Runs `run` and takes what the phone measured of it.
    bool measure(const std::function<bool(double &cpu, std::string &)> &run, Measure &m, std::string &error) {
        Measure before;
        double cpu = -1;
        if (!stats(before, error) || !run(cpu, error) || !stats(m, error))
            return false;
        m.phases -= before.phases, m.bytes -= before.bytes, m.microseconds -= before.microseconds;
        m.cpu_seconds = cpu;
        return true;
    }

    bool loop(uint64_t total, const std::function<bool(RawPhone &, std::string &)> &phase, double &cpu,
              std::string &error) {
        RawPhone p;
        if (!p.open(error))
            return false;
        double started = own_cpu_seconds();
        bool ok = phase(p, error);
        cpu = own_cpu_seconds() - started;
        return ok;
    }

    // The flasher with a firmware of one image of `total` bytes, with `environment` (NAME=VALUE) added:
    // "Ready", "start", "Download successfully!", and the phone back after its reboot. `cpu` is what the
    // flasher spent from "Ready" to its success.
    bool flasher(const std::vector<std::string> &environment, uint64_t total, double &cpu,
                 std::string &error) {
        if (!make_flasher(total, error))
            return false;
        std::vector<std::string> names;
        for (const auto &e : environment) {
            names.push_back(e.substr(0, e.find('=')));
            setenv(names.back().c_str(), e.substr(e.find('=') + 1).c_str(), 1);
        }
        ChildProcess f;
        bool started = f.start({m_dir.Path("flasher")}, m_dir.Path("flasher.log"));
        for (const auto &n : names)
            unsetenv(n.c_str());
        bool ok = started && f.wait_for_line("Ready 0%", 120s);
        if (ok) {
            double ready = process_cpu_seconds(f.pid());
            f.say("start");
            ok = f.wait_for_line("Download successfully! 100%", 1800s);
            double done = process_cpu_seconds(f.pid());
            cpu = ready >= 0 && done >= 0 ? done - ready : -1;
            // The phone reboots and is back in 300 ms: the flasher shows it gone, or finds it back at once.
            ok = ok && !f.wait_for_line(std::vector<std::string>{"No device", "Ready 0%"}, 120s).empty();
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
        m = {phases, bytes, microseconds, -1};
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
        // The image is in the flasher now; the machine's memory is better spent elsewhere.
        fs::remove(m_dir.Path("firmware/system.img"));
        return true;
    }

    TempDir m_dir;
    std::string m_bin;
    GadgetProcess m_phone;
};

// One way of writing a data phase, measured `runs` times.
struct Subject {
    std::string name;
    std::string what;
    std::function<bool(Bench &, double &cpu, std::string &)> run;
    std::vector<Measure> runs;

    // The run of median rate, with the median CPU time per GiB; zero when nothing was measured.
    Measure median_rate() const {
        std::vector<Measure> by_rate = runs;
        std::sort(by_rate.begin(), by_rate.end(),
                  [](const Measure &a, const Measure &b) { return a.rate() < b.rate(); });
        return by_rate.empty() ? Measure{} : by_rate[by_rate.size() / 2];
    }
    double median_cpu_per_gib() const {
        std::vector<double> cpu;
        for (const Measure &m : runs)
            cpu.push_back(m.cpu_per_gib());
        std::sort(cpu.begin(), cpu.end());
        return cpu.empty() ? -1 : cpu[cpu.size() / 2];
    }
};

std::string cpu_text(double seconds_per_gib) {
    char text[64];
    if (seconds_per_gib < 0)
        return "CPU unknown";
    std::snprintf(text, sizeof text, "CPU %.2f s per GiB sent", seconds_per_gib);
    return text;
}

void report_run(const Subject &s, size_t index, const Measure &m) {
    std::printf("info kernel_usb %-22s run %zu: %7.1f MB/s  %s  (%llu bytes in %.2f s)\n", s.name.c_str(),
                index + 1, m.rate() / 1e6, cpu_text(m.cpu_per_gib()).c_str(),
                static_cast<unsigned long long>(m.bytes), static_cast<double>(m.microseconds) / 1e6);
}

void report_median(const Subject &s) {
    std::printf("info kernel_usb %-22s median %7.1f MB/s  %s  (%zu run(s); %s)\n", s.name.c_str(),
                s.median_rate().rate() / 1e6, cpu_text(s.median_cpu_per_gib()).c_str(), s.runs.size(),
                s.what.c_str());
}

void target(const char *name, const Subject &a, const Subject &b, double limit) {
    double x = a.median_rate().rate(), y = b.median_rate().rate();
    if (a.runs.empty() || b.runs.empty() || y <= 0)
        return;
    double ratio = x / y;
    print_target(name, ratio, limit, ratio >= limit);
}

bool selected(const std::vector<std::string> &only, const std::string &name) {
    return only.empty() || std::find(only.begin(), only.end(), name) != only.end();
}

} // namespace

int main(int argc, char **argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    uint64_t mib = 64;
    unsigned runs = 3;
    unsigned in_flight = tarnex::drivers::IN_FLIGHT_DEFAULT;
    std::vector<std::string> only;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i], v = argv[i + 1];
        if (a == "--mib")
            mib = std::strtoull(v.c_str(), nullptr, 10);
        else if (a == "--runs")
            runs = static_cast<unsigned>(std::max(1ul, std::strtoul(v.c_str(), nullptr, 10)));
        else if (a == "--in-flight")
            in_flight = tarnex::drivers::in_flight_limit(v.c_str());
        else if (a == "--only")
            only.push_back(v);
    }
    if (geteuid() != 0 || !fs::exists("/sys/class/udc") || fs::is_empty("/sys/class/udc")) {
        std::printf("kernel_usb_data_path: skipped: not in the test machine (make bench runs it there)\n");
        return 0;
    }
    // The flasher's writes in flight are the library's own number unless --in-flight asks for another.
    unsetenv(tarnex::drivers::IN_FLIGHT_VARIABLE);
    std::vector<std::string> in_flight_environment;
    if (in_flight != tarnex::drivers::IN_FLIGHT_DEFAULT)
        in_flight_environment.push_back(std::string(tarnex::drivers::IN_FLIGHT_VARIABLE) + "=" +
                                        std::to_string(in_flight));
    const uint64_t total = mib << 20;
    std::printf("kernel-usb: data phases of %llu MiB into a gadget phone on dummy_hcd, as the phone measured "
                "them (from its DATA reply to its last byte); %u writes in flight%s\n",
                static_cast<unsigned long long>(mib), in_flight,
                in_flight == tarnex::drivers::IN_FLIGHT_DEFAULT ? " (the library's number)" : "");
    std::printf("kernel-usb: dummy_hcd moves a frame's data in every 125 us tick, at about 8 times the "
                "bandwidth of USB 2.0, on an emulated processor: these figures are the host's transfer "
                "latency and cost, not the speed of a wire\n");

    const std::string n = std::to_string(in_flight);
    std::vector<Subject> measured = {
        {"flasher-in-flight",
         "the console flasher, " + n + " writes in flight",
         [&](Bench &b, double &cpu, std::string &e) {
             return b.flasher(in_flight_environment, total, cpu, e);
         },
         {}},
        {"flasher-one-at-a-time",
         "the console flasher with TARNEX_USB_IN_FLIGHT=1",
         [&](Bench &b, double &cpu, std::string &e) {
             return b.flasher({std::string(tarnex::drivers::IN_FLIGHT_VARIABLE) + "=1"}, total, cpu, e);
         },
         {}},
        {"libusb-async-4k",
         "4 KiB transfers through libusb's asynchronous interface, " + n + " in flight",
         [&](Bench &b, double &cpu, std::string &e) {
             return b.loop(
                 total,
                 [&](RawPhone &p, std::string &e2) {
                     return p.async_data_phase(total, CHUNK, in_flight, e2);
                 },
                 cpu, e);
         },
         {}},
    };
    std::vector<Subject> comparisons = {
        {"libusb-sync-4k",
         "synchronous 4 KiB transfers",
         [&](Bench &b, double &cpu, std::string &e) {
             return b.loop(
                 total, [&](RawPhone &p, std::string &e2) { return p.sync_data_phase(total, CHUNK, e2); },
                 cpu, e);
         },
         {}},
        {"libusb-sync-1m",
         "synchronous 1 MiB transfers",
         [&](Bench &b, double &cpu, std::string &e) {
             return b.loop(
                 total, [&](RawPhone &p, std::string &e2) { return p.sync_data_phase(total, 1 << 20, e2); },
                 cpu, e);
         },
         {}},
    };

    Bench bench;
    std::string error;
    if (!bench.start(error)) {
        std::fprintf(stderr, "kernel_usb_data_path: %s\n", error.c_str());
        return 1;
    }
    int failed = 0;
    auto run_once = [&](Subject &s) {
        if (!selected(only, s.name))
            return;
        Measure m;
        if (!bench.measure([&](double &cpu, std::string &e) { return s.run(bench, cpu, e); }, m, error)) {
            std::fprintf(stderr, "kernel_usb_data_path: %s: %s\n", s.name.c_str(), error.c_str());
            ++failed;
            return;
        }
        s.runs.push_back(m);
        report_run(s, s.runs.size() - 1, m);
    };
    for (unsigned round = 0; round < runs; ++round) {
        for (Subject &s : measured)
            run_once(s);
    }
    for (Subject &s : comparisons)
        run_once(s);
    for (const Subject &s : measured) {
        if (!s.runs.empty())
            report_median(s);
    }
    for (const Subject &s : comparisons) {
        if (!s.runs.empty())
            report_median(s);
    }
    target("kernel_usb_in_flight_vs_one_at_a_time", measured[0], measured[1], IN_FLIGHT_VS_ONE_LIMIT);
    target("kernel_usb_in_flight_vs_async_loop", measured[0], measured[2], IN_FLIGHT_VS_LOOP_LIMIT);
    return failed == 0 ? 0 : 1;
}
