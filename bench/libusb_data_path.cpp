// bench_libusb_data_path: a data phase in 4096-byte writes through the libusb driver library on the
// emulated phone (libusb's own code over umockdev's emulated usbdevfs), beside the simulated phone's
// library in the same run. Bytes per second, and CPU time per write of the whole process (the emulated
// kernel side runs on threads of this process too). Informational only: an emulated device is not a
// wire, so there is no target.
//
// The program restarts itself under umockdev's preload, which libusb needs to see the emulated bus.

#include "rigs/usb_emulation/usb_emulation.h"
#include "usb/driver_api.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t CHUNK = 4096;
const char PRELOAD[] = "libumockdev-preload.so.0";

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

double process_cpu_seconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The phone of a driver, opened once and kept in a data phase as large as the phone takes: Google
// Benchmark calls a benchmark several times, and every call goes on writing into the same download.
struct Session {
    ADBAPIHANDLE iface = nullptr, in = nullptr, out = nullptr;
    uint64_t remaining = 0; // bytes the current data phase still takes

    // Opens the first listed interface; false when there is none.
    bool open(Driver &d) {
        ADBAPIHANDLE e = d.api.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
        alignas(8) uint8_t entry[2048];
        uint32_t size = sizeof entry;
        bool listed =
            e != nullptr && d.api.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size);
        if (e != nullptr)
            d.api.AdbCloseHandle(e);
        if (!listed)
            return false;
        iface = d.api.AdbCreateInterfaceByName(
            reinterpret_cast<const char16_t *>(entry + ADB_INTERFACE_NAME_OFFSET));
        in = iface ? d.api.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0) : nullptr;
        out = iface ? d.api.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0) : nullptr;
        return in != nullptr && out != nullptr;
    }

    // Ends a finished data phase and starts the next one.
    bool start_download(Driver &d) {
        char reply[64];
        uint32_t n = 0;
        char command[] = "download:7ffff000";
        if (!d.api.AdbWriteEndpointSync(out, command, sizeof command - 1, &n, 1000) ||
            !d.api.AdbReadEndpointSync(in, reply, sizeof reply, &n, 1000) || n < 4 ||
            std::strncmp(reply, "DATA", 4) != 0)
            return false;
        remaining = 0x7ffff000;
        return true;
    }

    bool write_chunk(Driver &d, const uint8_t *chunk) {
        uint32_t n = 0;
        if (!d.api.AdbWriteEndpointSync(out, const_cast<uint8_t *>(chunk), CHUNK, &n, 33268) || n != CHUNK)
            return false;
        remaining -= CHUNK;
        if (remaining >= CHUNK)
            return true;
        // The data phase is over (0x7ffff000 is a multiple of 4096): its status, then the next one.
        char reply[64];
        if (!d.api.AdbReadEndpointSync(in, reply, sizeof reply, &n, 1000) || n < 4 ||
            std::strncmp(reply, "OKAY", 4) != 0)
            return false;
        return start_download(d);
    }
};

void write_chunks(benchmark::State &state, Driver &d, Session &s) {
    if (s.iface == nullptr && (!s.open(d) || !s.start_download(d))) {
        state.SkipWithError("no phone to write to");
        return;
    }
    std::vector<uint8_t> chunk(CHUNK, 0x5A);
    uint64_t writes = 0;
    double cpu_start = process_cpu_seconds();
    for (auto _ : state) {
        if (!s.write_chunk(d, chunk.data())) {
            state.SkipWithError("a write failed");
            break;
        }
        ++writes;
    }
    double cpu = process_cpu_seconds() - cpu_start;
    state.SetBytesProcessed(static_cast<int64_t>(writes * CHUNK));
    state.counters["process_cpu_us_per_write"] = writes != 0 ? cpu * 1e6 / static_cast<double>(writes) : 0;
}

std::unique_ptr<tarnex::usb_emulation::UsbEmulation> g_bus;
Driver g_libusb, g_sim;
Session g_libusb_session, g_sim_session;

void BM_Write4KiB_LibusbEmulatedPhone(benchmark::State &state) {
    write_chunks(state, g_libusb, g_libusb_session);
}

void BM_Write4KiB_SimulatedPhoneLibrary(benchmark::State &state) {
    write_chunks(state, g_sim, g_sim_session);
}

BENCHMARK(BM_Write4KiB_LibusbEmulatedPhone)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Write4KiB_SimulatedPhoneLibrary)->MinTime(1.0)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
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
    if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
        std::printf("bench_libusb_data_path: skipped: umockdev's preload %s cannot be loaded\n", PRELOAD);
        return 0;
    }
    // The same phone for both: one that counts the bytes and keeps nothing.
    tarnex::sim::Scenario scenario;
    std::string error;
    tarnex::sim::parse_scenario("device phone\ndata discard\n", scenario, error);
    g_bus = tarnex::usb_emulation::UsbEmulation::start(scenario, {}, error);
    if (g_bus == nullptr || !g_libusb.load("libtarnex_libusb.so") || !g_sim.load("libtarnex_sim.so")) {
        std::fprintf(stderr, "bench_libusb_data_path: cannot start: %s%s%s\n", error.c_str(),
                     g_libusb.error.c_str(), g_sim.error.c_str());
        return 1;
    }
    // The simulated phone's library reads its scenario from a file named in the environment.
    char path[] = "/tmp/tarnex-bench-XXXXXX";
    int fd = mkstemp(path);
    const char text[] = "device phone\ndata discard\n";
    if (fd < 0 || write(fd, text, sizeof text - 1) != static_cast<ssize_t>(sizeof text - 1)) {
        std::fprintf(stderr, "bench_libusb_data_path: cannot write a scenario file\n");
        return 1;
    }
    ::close(fd);
    setenv("TARNEX_SIM_SCENARIO", path, 1);

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    unlink(path);
    g_libusb.api.AdbCloseHandle(g_libusb_session.in);
    g_libusb.api.AdbCloseHandle(g_libusb_session.out);
    g_libusb.api.AdbCloseHandle(g_libusb_session.iface);
    g_OsApi.library_unload(g_libusb.library); // ends its libusb context before the bus goes
    g_bus.reset();
    std::printf("bench_libusb_data_path: informational, no target (an emulated device is not a wire)\n");
    return 0;
}
