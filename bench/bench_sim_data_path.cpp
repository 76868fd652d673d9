// The simulated phone's data path: a data phase written through AdbWriteEndpointSync in 4096-byte
// transfers, as the host's bulk writer sends it. The phone must never be what limits a download, so a
// phone that discards its bytes has to take 1 GiB at 1 GB/s or more; the phones that checksum or keep
// every byte are measured alongside for information.
//
// The library is loaded from this program's folder, as the product loads a driver library.

#include "../drivers/sim/sim_control.h"
#include "../usb/driver_abi.h"

#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct Api {
    AdbEnumInterfacesFn enumerate = nullptr;
    AdbNextInterfaceFn next = nullptr;
    AdbCreateInterfaceByNameFn create = nullptr;
    AdbOpenDefaultBulkReadEndpointFn open_read = nullptr;
    AdbOpenDefaultBulkWriteEndpointFn open_write = nullptr;
    AdbReadEndpointSyncFn read = nullptr;
    AdbWriteEndpointSyncFn write = nullptr;
    AdbCloseHandleFn close = nullptr;
    TarnexSimConfigureFn configure = nullptr;
};

template <typename Fn>
void bind(void *lib, Fn &fn, const char *name) {
    fn = reinterpret_cast<Fn>(dlsym(lib, name));
    if (fn == nullptr) {
        std::fprintf(stderr, "bench_sim_data_path: %s is not exported\n", name);
        std::exit(1);
    }
}

const Api &api() {
    static Api a = [] {
        Api x;
        auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "libtarnex_sim.so";
        void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib == nullptr) {
            std::fprintf(stderr, "bench_sim_data_path: cannot load %s: %s\n", path.c_str(), dlerror());
            std::exit(1);
        }
        bind(lib, x.enumerate, "AdbEnumInterfaces");
        bind(lib, x.next, "AdbNextInterface");
        bind(lib, x.create, "AdbCreateInterfaceByName");
        bind(lib, x.open_read, "AdbOpenDefaultBulkReadEndpoint");
        bind(lib, x.open_write, "AdbOpenDefaultBulkWriteEndpoint");
        bind(lib, x.read, "AdbReadEndpointSync");
        bind(lib, x.write, "AdbWriteEndpointSync");
        bind(lib, x.close, "AdbCloseHandle");
        bind(lib, x.configure, "tarnex_sim_configure");
        return x;
    }();
    return a;
}

// One phone in `mode`; returns false when anything in the exchange misbehaves.
bool download(const char *mode, uint32_t size, double *seconds) {
    const Api &a = api();
    std::string scenario = std::string("device p\ndata ") + mode + "\n";
    char error[256];
    if (a.configure(scenario.c_str(), error, sizeof error) != 0)
        return false;
    ADBAPIHANDLE e = a.enumerate(ANDROID_USB_CLASS_ID, true, true, true);
    alignas(8) uint8_t entry[2048];
    uint32_t entry_size = sizeof entry;
    bool found = a.next(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &entry_size);
    a.close(e);
    if (!found)
        return false;
    ADBAPIHANDLE iface = a.create(reinterpret_cast<const char16_t *>(entry + ADB_INTERFACE_NAME_OFFSET));
    ADBAPIHANDLE rd = a.open_read(iface, 0, 0);
    ADBAPIHANDLE wr = a.open_write(iface, 0, 0);

    static std::vector<uint8_t> chunk(4096, 0xA5);
    char command[32];
    std::snprintf(command, sizeof command, "download:%08x", size);
    uint32_t n = 0;
    char reply[64];
    bool ok = a.write(wr, command, 17, &n, 1000) && a.read(rd, reply, 64, &n, 1000) && n == 12;
    auto start = std::chrono::steady_clock::now();
    for (uint32_t left = size; ok && left > 0; left -= n)
        ok = a.write(wr, chunk.data(), std::min<uint32_t>(left, 4096), &n, 33'000'000) && n > 0;
    auto stop = std::chrono::steady_clock::now();
    ok = ok && a.read(rd, reply, 64, &n, 1000) && n == 4;
    *seconds = std::chrono::duration<double>(stop - start).count();
    a.close(wr);
    a.close(rd);
    a.close(iface);
    return ok;
}

constexpr uint32_t GIB = 1u << 30;

void BM_DataPhase(benchmark::State &state, const char *mode, uint32_t size) {
    for (auto _ : state) {
        double seconds = 0;
        if (!download(mode, size, &seconds)) {
            state.SkipWithError("the exchange failed");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

BENCHMARK_CAPTURE(BM_DataPhase, discard_1GiB, "discard", GIB)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DataPhase, crc_256MiB, "crc", GIB / 4)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_DataPhase, keep_256MiB, "keep", GIB / 4)
    ->UseManualTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // The target: best of three 1 GiB data phases into a discarding phone, against 1 GB/s.
    double best = 1e9;
    for (int i = 0; i < 3; ++i) {
        double seconds = 0;
        if (!download("discard", GIB, &seconds)) {
            std::fprintf(stderr, "bench_sim_data_path: the 1 GiB exchange failed\n");
            return 1;
        }
        best = std::min(best, seconds);
    }
    double gb_per_s = GIB / best / 1e9;
    std::printf("target sim_data_path %.2f 1.00 %s\n", gb_per_s, gb_per_s >= 1.0 ? "met" : "missed");
    return 0;
}
