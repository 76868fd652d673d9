// bench_libusb_data_path: a data phase in 4096-byte writes, the flasher's chunks, through the libusb
// driver library with its writes in flight (the library's own number) and one at a time
// (TARNEX_USB_IN_FLIGHT=1), beside a plain asynchronous loop of 4 KiB transfers straight through libusb
// with as many in flight, and beside the simulated phone's library. Bytes per second, and the process's
// CPU time per GiB sent; at the end the two ratios the library is judged by: in flight against one at a
// time, and in flight against the plain loop.
//
// On the emulated phone (libusb's own code over umockdev's emulated usbdevfs, the program restarting
// itself under umockdev's preload) the figures are informational only: an emulated device is not a
// wire, and the emulated kernel side runs on threads of this process. The same comparison on the
// kernel's own USB stack, with its targets, is kernel_usb_data_path's (make bench runs it in the test
// machine of rigs/vm).

#include "drivers/transfer_policy.h"
#include "rigs/usb_emulation/usb_emulation.h"
#include "usb/driver_api.h"

#include <benchmark/benchmark.h>
#include <libusb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t CHUNK = 4096;
// A data phase as large as the phone takes; it is started again whenever it is used up.
constexpr uint32_t PHASE = 0x7ffff000;
const char PRELOAD[] = "libumockdev-preload.so.0";

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// What each measurement came to, for the ratios at the end: bytes per second of real time.
std::map<std::string, double> g_rates;

// Times a run of `write` calls (each one 4 KiB chunk) and reports it.
template <typename Write>
void measure(benchmark::State &state, const std::string &name, Write write) {
    uint64_t writes = 0;
    double cpu_start = process_cpu_seconds();
    auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (!write()) {
            state.SkipWithError("a write failed");
            return;
        }
        ++writes;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double cpu = process_cpu_seconds() - cpu_start;
    double bytes = static_cast<double>(writes) * CHUNK;
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["cpu_s_per_GiB"] = bytes > 0 ? cpu * (1u << 30) / bytes : 0;
    if (seconds > 0)
        g_rates[name] = bytes / seconds; // the last (longest) run of the benchmark counts
}

// --- through a driver library ------------------------------------------------------------------------

// A driver library loaded and bound the way the product binds its driver.
struct Driver {
    OsLibrary library = nullptr;
    DriverApi api = {};
    std::string error;

    bool load(const char *file) {
        auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() / file;
        library = g_OsApi.library_load(path.c_str(), &error);
        return library != nullptr && bind_driver_api(library, &api, &error);
    }
};

// One phone of a driver, opened once and kept in a data phase: Google Benchmark calls a benchmark
// several times, and every call goes on writing into the same download.
struct Session {
    Driver *driver = nullptr;
    size_t index = 0;            // which of the listed interfaces
    const char *limit = nullptr; // TARNEX_USB_IN_FLIGHT while the write endpoint opens; null: unset
    ADBAPIHANDLE iface = nullptr, in = nullptr, out = nullptr;
    uint64_t remaining = 0; // bytes the current data phase still takes

    bool open() {
        DriverApi &a = driver->api;
        ADBAPIHANDLE e = a.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
        alignas(8) uint8_t entry[2048];
        bool listed = e != nullptr;
        for (size_t i = 0; listed && i <= index; ++i) {
            uint32_t size = sizeof entry;
            listed = a.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size);
        }
        if (e != nullptr)
            a.AdbCloseHandle(e);
        if (!listed)
            return false;
        iface =
            a.AdbCreateInterfaceByName(reinterpret_cast<const char16_t *>(entry + ADB_INTERFACE_NAME_OFFSET));
        in = iface ? a.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0) : nullptr;
        if (limit != nullptr)
            setenv(tarnex::drivers::IN_FLIGHT_VARIABLE, limit, 1);
        out = iface ? a.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0) : nullptr;
        unsetenv(tarnex::drivers::IN_FLIGHT_VARIABLE);
        return in != nullptr && out != nullptr && start_download();
    }

    void close() {
        for (ADBAPIHANDLE h : {out, in, iface})
            if (h != nullptr)
                driver->api.AdbCloseHandle(h);
        out = in = iface = nullptr;
    }

    bool start_download() {
        char reply[64];
        uint32_t n = 0;
        char command[32];
        std::snprintf(command, sizeof command, "download:%08x", PHASE);
        if (!driver->api.AdbWriteEndpointSync(out, command, 17, &n, 1000) ||
            !driver->api.AdbReadEndpointSync(in, reply, sizeof reply, &n, 1000) || n < 4 ||
            std::strncmp(reply, "DATA", 4) != 0)
            return false;
        remaining = PHASE;
        return true;
    }

    // The flasher's time-out for a chunk of a long write: 8 ms per byte of the whole write, plus 500.
    bool write_chunk(const uint8_t *chunk) {
        uint32_t n = 0;
        if (!driver->api.AdbWriteEndpointSync(out, const_cast<uint8_t *>(chunk), CHUNK, &n, 33268) ||
            n != CHUNK)
            return false;
        remaining -= CHUNK;
        if (remaining >= CHUNK)
            return true;
        // The data phase is over (PHASE is a multiple of 4096): its status, then the next one.
        char reply[64];
        if (!driver->api.AdbReadEndpointSync(in, reply, sizeof reply, &n, 60000) || n < 4 ||
            std::strncmp(reply, "OKAY", 4) != 0)
            return false;
        return start_download();
    }
};

void write_through(benchmark::State &state, Session &s, const std::string &name) {
    if (s.iface == nullptr && !s.open()) {
        state.SkipWithError("no phone to write to");
        return;
    }
    std::vector<uint8_t> chunk(CHUNK, 0x5A);
    measure(state, name, [&] { return s.write_chunk(chunk.data()); });
}

// --- straight through libusb -------------------------------------------------------------------------

// The reference: the same chunks with as many in flight, submitted again from their completion, with
// nothing of the driver library in between.
class PlainLoop {
public:
    ~PlainLoop() {
        for (libusb_transfer *t : m_transfers)
            libusb_cancel_transfer(t);
        while (m_busy > 0 && m_context != nullptr)
            libusb_handle_events(m_context);
        for (libusb_transfer *t : m_transfers)
            libusb_free_transfer(t);
        if (m_handle != nullptr) {
            libusb_release_interface(m_handle, m_interface);
            libusb_close(m_handle);
        }
        if (m_context != nullptr)
            libusb_exit(m_context);
    }

    // Opens the first fastboot interface libusb lists that nobody else has claimed (the library's
    // sessions hold theirs) and starts a data phase; false when there is none or it does not answer.
    bool open() {
        if (libusb_init(&m_context) != 0)
            return false;
        libusb_device **list = nullptr;
        ssize_t n = libusb_get_device_list(m_context, &list);
        for (ssize_t i = 0; i < n && m_handle == nullptr; ++i) {
            libusb_config_descriptor *config = nullptr;
            if (libusb_get_active_config_descriptor(list[i], &config) != 0)
                continue;
            for (int k = 0; k < config->bNumInterfaces && m_handle == nullptr; ++k) {
                const libusb_interface_descriptor &alt = config->interface[k].altsetting[0];
                if (alt.bInterfaceClass == 0xFF && alt.bInterfaceSubClass == 0x42 &&
                    alt.bInterfaceProtocol == 0x03)
                    take(list[i], alt);
            }
            libusb_free_config_descriptor(config);
        }
        if (n >= 0)
            libusb_free_device_list(list, 1);
        return m_handle != nullptr && start_download();
    }

    // Waits for one chunk to complete and submits it again (or the first `depth` at the start).
    bool next(unsigned depth) {
        while (m_transfers.size() < depth) {
            libusb_transfer *t = libusb_alloc_transfer(0);
            libusb_fill_bulk_transfer(t, m_handle, m_out, m_chunk.data(), CHUNK, &PlainLoop::done, this,
                                      60000);
            m_transfers.push_back(t);
            if (!submit(t))
                return false;
        }
        while (m_completed == 0 && m_failed == 0)
            libusb_handle_events(m_context);
        if (m_failed != 0)
            return false;
        --m_completed;
        libusb_transfer *t = m_ready.back();
        m_ready.pop_back();
        return submit(t);
    }

private:
    void take(libusb_device *device, const libusb_interface_descriptor &alt) {
        m_in = m_out = 0;
        for (int e = 0; e < alt.bNumEndpoints; ++e) {
            const libusb_endpoint_descriptor &ep = alt.endpoint[e];
            unsigned char &slot = (ep.bEndpointAddress & 0x80) != 0 ? m_in : m_out;
            if ((ep.bmAttributes & 3) == LIBUSB_TRANSFER_TYPE_BULK && slot == 0)
                slot = ep.bEndpointAddress;
        }
        if (libusb_open(device, &m_handle) != 0) {
            m_handle = nullptr;
        } else if (libusb_claim_interface(m_handle, alt.bInterfaceNumber) != 0) {
            libusb_close(m_handle);
            m_handle = nullptr;
        } else {
            m_interface = alt.bInterfaceNumber;
        }
    }

    static void LIBUSB_CALL done(libusb_transfer *t) {
        auto *self = static_cast<PlainLoop *>(t->user_data);
        --self->m_busy;
        if (t->status != LIBUSB_TRANSFER_COMPLETED || t->actual_length != CHUNK) {
            ++self->m_failed;
            return;
        }
        ++self->m_completed;
        self->m_ready.push_back(t);
    }

    bool submit(libusb_transfer *t) {
        // The end of a data phase: everything in flight lands first, then its status and the next one.
        if (m_remaining < CHUNK) {
            while (m_busy > 0)
                libusb_handle_events(m_context);
            if (!exchange(nullptr, "OKAY") || !start_download())
                return false;
        }
        m_remaining -= CHUNK;
        ++m_busy;
        return libusb_submit_transfer(t) == 0;
    }

    bool exchange(const char *command, const char *expected) {
        unsigned char reply[512];
        int n = 0;
        if (command != nullptr &&
            libusb_bulk_transfer(m_handle, m_out,
                                 reinterpret_cast<unsigned char *>(const_cast<char *>(command)),
                                 static_cast<int>(std::strlen(command)), &n, 1000) != 0)
            return false;
        return libusb_bulk_transfer(m_handle, m_in, reply, sizeof reply, &n, 60000) == 0 && n >= 4 &&
               std::memcmp(reply, expected, 4) == 0;
    }

    bool start_download() {
        char command[32];
        std::snprintf(command, sizeof command, "download:%08x", PHASE);
        m_remaining = PHASE;
        return exchange(command, "DATA");
    }

    libusb_context *m_context = nullptr;
    libusb_device_handle *m_handle = nullptr;
    int m_interface = 0;
    unsigned char m_in = 0, m_out = 0;
    std::vector<unsigned char> m_chunk = std::vector<unsigned char>(CHUNK, 0x5A);
    std::vector<libusb_transfer *> m_transfers, m_ready;
    unsigned m_busy = 0, m_completed = 0, m_failed = 0;
    uint64_t m_remaining = 0;
};

// --- the measurements ---------------------------------------------------------------------------------

const char IN_FLIGHT[] = "libusb library, writes in flight";
const char ONE_AT_A_TIME[] = "libusb library, one at a time";
const char PLAIN[] = "plain libusb loop";

Driver g_libusb, g_sim;
Session g_in_flight{&g_libusb, 0, nullptr}, g_one_at_a_time{&g_libusb, 1, "1"},
    g_sim_session{&g_sim, 0, nullptr};
std::unique_ptr<PlainLoop> g_plain;

void BM_Write4KiB_LibusbInFlight(benchmark::State &state) {
    write_through(state, g_in_flight, IN_FLIGHT);
}

void BM_Write4KiB_LibusbOneAtATime(benchmark::State &state) {
    write_through(state, g_one_at_a_time, ONE_AT_A_TIME);
}

void BM_Write4KiB_PlainLibusbLoop(benchmark::State &state) {
    if (g_plain == nullptr) {
        g_plain = std::make_unique<PlainLoop>();
        if (!g_plain->open()) {
            state.SkipWithError("no phone to write to");
            return;
        }
    }
    measure(state, PLAIN, [&] { return g_plain->next(tarnex::drivers::IN_FLIGHT_DEFAULT); });
}

void BM_Write4KiB_SimulatedPhoneLibrary(benchmark::State &state) {
    write_through(state, g_sim_session, "simulated phone's library");
}

BENCHMARK(BM_Write4KiB_LibusbInFlight)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Write4KiB_LibusbOneAtATime)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Write4KiB_PlainLibusbLoop)->MinTime(1.0)->UseRealTime();

void print_ratio(const char *what, const char *a, const char *b) {
    auto x = g_rates.find(a), y = g_rates.find(b);
    if (x != g_rates.end() && y != g_rates.end() && y->second > 0)
        std::printf("bench_libusb_data_path: %s: %.2f (%.1f / %.1f MB/s)\n", what, x->second / y->second,
                    x->second / 1e6, y->second / 1e6);
}

// Restarts the program under umockdev's preload; false when it cannot be had.
bool under_umockdev(char **argv) {
    const char *preload = std::getenv("LD_PRELOAD");
    if ((preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) &&
        std::getenv("TARNEX_BENCH_RESTARTED") == nullptr) {
        std::string value =
            preload != nullptr && *preload != '\0' ? std::string(PRELOAD) + ":" + preload : PRELOAD;
        setenv("LD_PRELOAD", value.c_str(), 1);
        setenv("TARNEX_BENCH_RESTARTED", "1", 1);
        execv("/proc/self/exe", argv);
    }
    preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

} // namespace

int main(int argc, char **argv) {
    if (!under_umockdev(argv)) {
        std::printf("bench_libusb_data_path: skipped: umockdev's preload %s cannot be loaded\n", PRELOAD);
        return 0;
    }
    // Three phones that count the bytes and keep nothing: one per measurement through libusb.
    const char text[] = "device a\ndata discard\ndevice b\ndata discard\ndevice c\ndata discard\n";
    tarnex::sim::Scenario scenario;
    std::string error;
    tarnex::sim::parse_scenario(text, scenario, error);
    std::unique_ptr<tarnex::usb_emulation::UsbEmulation> emulation =
        tarnex::usb_emulation::UsbEmulation::start(scenario, {}, error);
    if (emulation == nullptr) {
        std::fprintf(stderr, "bench_libusb_data_path: cannot start the emulated bus: %s\n", error.c_str());
        return 1;
    }
    // The simulated phone's library reads its scenario from a file named in the environment.
    char scenario_file[] = "/tmp/tarnex-bench-XXXXXX";
    int fd = mkstemp(scenario_file);
    const char sim[] = "device phone\ndata discard\n";
    bool scenario_made = fd >= 0;
    if (fd < 0 || write(fd, sim, sizeof sim - 1) != static_cast<ssize_t>(sizeof sim - 1) ||
        !g_sim.load("libtarnex_sim.so")) {
        std::fprintf(stderr, "bench_libusb_data_path: cannot set up the simulated phone: %s\n",
                     g_sim.error.c_str());
        return 1;
    }
    ::close(fd);
    setenv("TARNEX_SIM_SCENARIO", scenario_file, 1);
    benchmark::RegisterBenchmark("BM_Write4KiB_SimulatedPhoneLibrary", BM_Write4KiB_SimulatedPhoneLibrary)
        ->MinTime(1.0)
        ->UseRealTime();
    if (!g_libusb.load("libtarnex_libusb.so")) {
        std::fprintf(stderr, "bench_libusb_data_path: cannot load the library: %s\n", g_libusb.error.c_str());
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    std::printf("bench_libusb_data_path: %u writes in flight (the library's number)\n",
                tarnex::drivers::IN_FLIGHT_DEFAULT);
    print_ratio("in flight / one at a time", IN_FLIGHT, ONE_AT_A_TIME);
    print_ratio("in flight / plain libusb loop", IN_FLIGHT, PLAIN);
    g_plain.reset();
    g_in_flight.close();
    g_one_at_a_time.close();
    g_OsApi.library_unload(g_libusb.library); // ends its libusb context before the bus goes
    emulation.reset();
    if (scenario_made)
        unlink(scenario_file);
    std::printf("bench_libusb_data_path: informational, no target (an emulated device is not a wire)\n");
    return 0;
}
