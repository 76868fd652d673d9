// Start-up verification: the CRC-32 against zlib's and libdeflate's, and load_image_table on a warm 1 GiB
// payload against `cat FILE >/dev/null` on the same file. Ends with one target line per goal.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "package/crc32.h"
#include "package/image_table.h"
#include "package/pack_archive.h"

namespace {

constexpr uint32_t CRC_BUFFER = 1u << 20;
constexpr uint64_t MiB = 1u << 20;

std::string g_PayloadPath;

const std::vector<uint8_t> &crc_data() {
    static const std::vector<uint8_t> data = [] {
        std::vector<uint8_t> bytes(CRC_BUFFER);
        std::mt19937_64 rng(7);
        for (auto &b : bytes)
            b = static_cast<uint8_t>(rng());
        return bytes;
    }();
    return data;
}

template <typename Fn>
void run_crc(benchmark::State &state, Fn fn) {
    const auto &data = crc_data();
    uint32_t crc = 0;
    for (auto _ : state) {
        crc = fn(data.data(), CRC_BUFFER, crc);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * CRC_BUFFER);
}

void BM_crc32_update(benchmark::State &state) {
    run_crc(state, crc32_update);
}
void BM_crc32_table(benchmark::State &state) {
    run_crc(state, crc32_update_table);
}
void BM_crc32_engine(benchmark::State &state) {
    auto engine = static_cast<Crc32Engine>(state.range(0));
    if (!crc32_engine_available(engine)) {
        state.SkipWithError("engine not available on this processor");
        return;
    }
    state.SetLabel(crc32_engine_name(engine));
    run_crc(state, [engine](const uint8_t *p, uint32_t n, uint32_t v) {
        return crc32_update_with(engine, p, n, v);
    });
}
void BM_zlib_crc32(benchmark::State &state) {
    run_crc(state, [](const uint8_t *p, uint32_t n, uint32_t v) { return uint32_t(crc32(v, p, n)); });
}
void BM_libdeflate_crc32(benchmark::State &state) {
    run_crc(state, [](const uint8_t *p, uint32_t n, uint32_t v) { return libdeflate_crc32(v, p, n); });
}

void BM_cat_payload(benchmark::State &state) {
    std::string command = "cat '" + g_PayloadPath + "' >/dev/null";
    for (auto _ : state)
        if (system(command.c_str()) != 0)
            state.SkipWithError("cat failed");
}

void BM_load_image_table(benchmark::State &state) {
    for (auto _ : state) {
        ImageTable table{};
        if (load_image_table(g_PayloadPath.c_str(), &table)) {
            state.SkipWithError("the benchmark payload was refused");
            break;
        }
        benchmark::DoNotOptimize(table.TotalImageBytes);
        free_file_buffer(table.FileBuffer);
    }
}

BENCHMARK(BM_crc32_update);
BENCHMARK(BM_zlib_crc32);
BENCHMARK(BM_libdeflate_crc32);
BENCHMARK(BM_crc32_table);
BENCHMARK(BM_crc32_engine)
    ->Arg(CRC32_ENGINE_PCLMUL)
    ->Arg(CRC32_ENGINE_VPCLMUL256)
    ->Arg(CRC32_ENGINE_VPCLMUL512);
BENCHMARK(BM_cat_payload)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3);
BENCHMARK(BM_load_image_table)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5)->Repetitions(3);

// Keeps the time per iteration of every run (one per repetition) while the console shows the usual table;
// a target uses the median over the repetitions, so one disturbed repetition does not decide it.
class RunTimes : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            std::string name = run.run_name.function_name;
            if (!run.run_name.args.empty())
                name += "/" + run.run_name.args;
            m_Times[name].push_back(run.real_accumulated_time / double(run.iterations));
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Median(const std::string &name) const {
        auto it = m_Times.find(name);
        if (it == m_Times.end())
            return 0;
        std::vector<double> times = it->second;
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    }

private:
    std::map<std::string, std::vector<double>> m_Times;
};

struct CrcFileSink {
    FILE *File;
    uint32_t Crc;
    bool Failed;
};

uint32_t crc_file_sink(const void *bytes, uint32_t length, void *user) {
    auto *sink = static_cast<CrcFileSink *>(user);
    sink->Crc = crc32_update(bytes, length, sink->Crc);
    if (fwrite(bytes, 1, length, sink->File) != length)
        sink->Failed = true;
    return length;
}

// A flasher-shaped file of 1 GiB: a 1 MiB prefix, then the images (views into one random block), then the
// trailer.
bool write_payload(const std::string &path) {
    std::vector<uint8_t> block(512 * MiB);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i + 8 <= block.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        memcpy(&block[i], &x, 8);
    }
    const std::pair<const char *, uint64_t> images[] = {
        {"qcsbl.mbn", MiB / 4},    {"oemsbl.mbn", MiB / 2},   {"amss.mbn", 40 * MiB},
        {"cefs.mbn", 16 * MiB},    {"appsboot.mbn", MiB / 4}, {"boot.img", 8 * MiB},
        {"system.img", 512 * MiB}, {"recovery.img", 8 * MiB}, {"userdata.img", 430 * MiB},
        {"DeviceList.dat", 55},
    };
    CPackArchive archive;
    for (const auto &[name, size] : images)
        archive.Append(new CPackEntry)->SetByName(block.data(), static_cast<uint32_t>(size), name);

    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    CrcFileSink sink{file, PACK_HASH_SEED, false};
    sink.Failed = fwrite(block.data(), 1, MiB, file) != MiB;
    uint32_t length = archive.WriteToSink(crc_file_sink, &sink);
    uint8_t trailer[8];
    for (int i = 0; i < 4; i++) {
        trailer[i] = uint8_t(length >> (8 * i));
        trailer[4 + i] = uint8_t(sink.Crc >> (8 * i));
    }
    sink.Failed |= fwrite(trailer, 1, 8, file) != 8;
    return fclose(file) == 0 && !sink.Failed;
}

void print_target(const char *name, double ratio, double limit, bool met) {
    printf("target %s %.2f %.2f %s\n", name, ratio, limit, met ? "met" : "missed");
}

} // namespace

int main(int argc, char **argv) {
    std::string self = argv[0];
    std::string dir = self.substr(0, self.find_last_of('/') + 1) + "../bench-data";
    if (system(("mkdir -p '" + dir + "'").c_str()) != 0)
        return 1;
    g_PayloadPath = dir + "/payload-1g.bin";
    printf("writing a 1 GiB payload to %s\n", g_PayloadPath.c_str());
    if (!write_payload(g_PayloadPath)) {
        fprintf(stderr, "bench_package: cannot write %s\n", g_PayloadPath.c_str());
        remove(g_PayloadPath.c_str());
        return 1;
    }
    // Warm: the comparison is against reading from the page cache, as at a second start.
    if (system(("cat '" + g_PayloadPath + "' >/dev/null").c_str()) != 0)
        return 1;
    printf("crc32_update uses the %s engine\n", crc32_engine_name(crc32_selected_engine()));

    // For information: the first load after the machine has been idle for a while. On a virtual machine
    // that hands freed memory back to its host, the buffer's pages must then come back from the host,
    // which costs more than the read; the repeated runs below reuse memory the guest still has.
    sleep(5);
    auto start = std::chrono::steady_clock::now();
    ImageTable first{};
    if (load_image_table(g_PayloadPath.c_str(), &first))
        return 1;
    double first_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    free_file_buffer(first.FileBuffer);
    printf("first load_image_table after 5 s idle: %.0f ms (informational)\n", first_ms);

    benchmark::Initialize(&argc, argv);
    RunTimes reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    remove(g_PayloadPath.c_str());

    double ours = reporter.Median("BM_crc32_update"), zlib = reporter.Median("BM_zlib_crc32");
    double load = reporter.Median("BM_load_image_table"), cat = reporter.Median("BM_cat_payload");
    printf("crc32_update %.1f GB/s, zlib %.1f GB/s (throughput ratio, at least 2)\n", CRC_BUFFER / ours / 1e9,
           CRC_BUFFER / zlib / 1e9);
    printf("load_image_table %.0f ms, cat %.0f ms on the warm 1 GiB payload (time ratio, at most 3)\n",
           load * 1e3, cat * 1e3);
    bool measured = ours > 0 && zlib > 0 && load > 0 && cat > 0;
    print_target("crc32_update_vs_zlib", measured ? zlib / ours : 0, 2, measured && zlib / ours >= 2);
    print_target("load_image_table_vs_cat", measured ? load / cat : 0, 3, measured && load / cat <= 3);
    return measured ? 0 : 1;
}
