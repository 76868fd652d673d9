// Start-up: the CRC-32 against zlib's and libdeflate's, the engines' self-test, load_image_table on a
// warm 1 GiB flasher, and the console flasher itself started on that flasher until its first status line,
// against `cat FILE >/dev/null` on the same file, with its private memory at that moment. Ends with one
// target line per goal.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/targets.h"
#include "package/crc32.h"
#include "package/image_table.h"
#include "package/pack_archive.h"
#include "tests/support/child_process.h"

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

// Five short repetitions each; the targets take the median.
BENCHMARK(BM_crc32_update)->MinTime(0.1)->Repetitions(5);
BENCHMARK(BM_zlib_crc32)->MinTime(0.1)->Repetitions(5);
BENCHMARK(BM_libdeflate_crc32)->MinTime(0.1)->Repetitions(5);
BENCHMARK(BM_crc32_table)->MinTime(0.1)->Repetitions(5);
BENCHMARK(BM_crc32_engine)
    ->Arg(CRC32_ENGINE_PCLMUL)
    ->Arg(CRC32_ENGINE_VPCLMUL256)
    ->Arg(CRC32_ENGINE_VPCLMUL512)
    ->MinTime(0.1)
    ->Repetitions(5);
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
            m_CpuTimes[name].push_back(run.cpu_accumulated_time / double(run.iterations));
        }
        ConsoleReporter::ReportRuns(runs);
    }
    // Wall-clock time per iteration, for what waits on the system (reading a file, starting a process).
    double Median(const std::string &name) const { return MedianOf(m_Times, name); }
    // Processor time per iteration, for computing alone: a shared machine that takes the processor away
    // for a while stretches wall-clock time but not this.
    double MedianCpu(const std::string &name) const { return MedianOf(m_CpuTimes, name); }

private:
    static double MedianOf(const std::map<std::string, std::vector<double>> &all, const std::string &name) {
        auto it = all.find(name);
        if (it == all.end())
            return 0;
        std::vector<double> times = it->second;
        std::sort(times.begin(), times.end());
        return times[times.size() / 2];
    }

    std::map<std::string, std::vector<double>> m_Times, m_CpuTimes;
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

std::vector<uint8_t> read_all(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A flasher of 1 GiB: the console flasher BASE, then the images (views into one random block), the
// simulated phone SIM as the driver library and a device list, then the trailer.
bool write_payload(const std::string &path, const std::string &base, const std::string &sim) {
    std::vector<uint8_t> prefix = read_all(base), library = read_all(sim);
    if (prefix.empty() || library.empty())
        return false;
    std::vector<uint8_t> block(512 * MiB);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i + 8 <= block.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        memcpy(&block[i], &x, 8);
    }
    static const char device_list[] = "\r\n# the phone\r\nUSB\\Vid_18d1&Pid_d00d&Rev_0100";
    const std::pair<const char *, uint64_t> images[] = {
        {"qcsbl.mbn", MiB / 4},    {"oemsbl.mbn", MiB / 2},   {"amss.mbn", 40 * MiB},
        {"cefs.mbn", 16 * MiB},    {"appsboot.mbn", MiB / 4}, {"boot.img", 8 * MiB},
        {"system.img", 512 * MiB}, {"recovery.img", 8 * MiB}, {"userdata.img", 430 * MiB},
    };
    CPackArchive archive;
    for (const auto &[name, size] : images)
        archive.Append(new CPackEntry)->SetByName(block.data(), static_cast<uint32_t>(size), name);
    archive.Append(new CPackEntry)
        ->SetByName(library.data(), static_cast<uint32_t>(library.size()), "AdbWinApi.dll");
    archive.Append(new CPackEntry)->SetByName(device_list, sizeof device_list - 1, "DeviceList.dat");

    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    CrcFileSink sink{file, PACK_HASH_SEED, false};
    sink.Failed = fwrite(prefix.data(), 1, prefix.size(), file) != prefix.size();
    uint32_t length = archive.WriteToSink(crc_file_sink, &sink);
    uint8_t trailer[8];
    for (int i = 0; i < 4; i++) {
        trailer[i] = uint8_t(length >> (8 * i));
        trailer[4 + i] = uint8_t(sink.Crc >> (8 * i));
    }
    sink.Failed |= fwrite(trailer, 1, 8, file) != 8;
    return fclose(file) == 0 && !sink.Failed && chmod(path.c_str(), 0755) == 0;
}

double ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// `cat PATH >/dev/null`, started the same way as the flasher: milliseconds to its end, or -1.
double time_cat(const std::string &path) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    char *argv[] = {const_cast<char *>("cat"), const_cast<char *>(path.c_str()), nullptr};
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    int rc = posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (rc != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return -1;
    return ms_since(start);
}

struct StartUp {
    double Ms = -1;        // from the start of the process to its first status line
    double PrivateMiB = 0; // RssAnon at that moment
    std::string Line;
};

// The kB of FIELD ("RssAnon:") in /proc/PID/status, or -1.
double status_kib(pid_t pid, const char *field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0)
            return std::stod(line.substr(strlen(field)));
    return -1;
}

// Starts the console flasher PATH, reads its first status line, takes its private memory, tells it
// "exit" and waits for it.
StartUp time_flasher(const std::string &path) {
    StartUp result;
    ChildProcess flasher;
    auto start = std::chrono::steady_clock::now();
    if (!flasher.start({path}, "/dev/null"))
        return result;
    const bool said = flasher.read_until([](const std::string &) { return true; }, std::chrono::minutes(2));
    const double ms = ms_since(start);
    const double private_kib = status_kib(flasher.pid(), "RssAnon:");
    flasher.say("exit");
    flasher.close_input();
    if (said && !flasher.lines.front().empty() && flasher.wait_exit(std::chrono::seconds(60)) == 0 &&
        private_kib >= 0) {
        result.Line = flasher.lines.front();
        result.Ms = ms;
        result.PrivateMiB = private_kib / 1024;
    }
    return result;
}

} // namespace

int main(int argc, char **argv) {
    // The engines' self-test, first: the choice that every start-up makes, and each engine's test alone.
    auto chosen_at = std::chrono::steady_clock::now();
    Crc32Engine chosen = crc32_selected_engine();
    printf("crc32_update chose the %s engine; choosing with its self-test took %.2f ms\n",
           crc32_engine_name(chosen), ms_since(chosen_at));
    for (int e = CRC32_ENGINE_TABLE; e < CRC32_ENGINE_COUNT; e++) {
        auto engine = static_cast<Crc32Engine>(e);
        if (!crc32_engine_available(engine)) {
            printf("self-test of %s: not available on this processor\n", crc32_engine_name(engine));
            continue;
        }
        std::vector<double> times;
        bool passed = true;
        for (int i = 0; i < 7; i++) {
            auto start = std::chrono::steady_clock::now();
            passed = crc32_self_test(engine) && passed;
            times.push_back(ms_since(start));
        }
        printf("self-test of %s: %s, %.2f ms (median of 7)\n", crc32_engine_name(engine),
               passed ? "passed" : "FAILED", median(times));
    }

    std::string self = argv[0];
    std::string bin = self.substr(0, self.find_last_of('/') + 1);
    std::string dir = bin + "../bench-data";
    if (system(("mkdir -p '" + dir + "'").c_str()) != 0)
        return 1;
    g_PayloadPath = dir + "/flasher-1g";
    printf("writing a 1 GiB flasher to %s\n", g_PayloadPath.c_str());
    if (!write_payload(g_PayloadPath, bin + "tarnex-console", bin + "libtarnex_sim.so")) {
        fprintf(stderr, "bench_package: cannot write %s from %starnex-console and %slibtarnex_sim.so\n",
                g_PayloadPath.c_str(), bin.c_str(), bin.c_str());
        remove(g_PayloadPath.c_str());
        return 1;
    }
    // Warm: the comparison is against reading from the page cache, as at a second start.
    if (time_cat(g_PayloadPath) < 0)
        return 1;

    // For information: the first load after the machine has been idle for a while. On a virtual machine
    // that hands freed memory back to its host, pages must then come back from the host, which costs more
    // than the read; the repeated runs below reuse memory the guest still has.
    sleep(5);
    auto start = std::chrono::steady_clock::now();
    ImageTable first{};
    if (load_image_table(g_PayloadPath.c_str(), &first))
        return 1;
    printf("first load_image_table after 5 s idle: %.0f ms, %s (informational)\n", ms_since(start),
           file_buffer_is_mapped(first.FileBuffer) ? "mapped" : "read whole");
    free_file_buffer(first.FileBuffer);

    benchmark::Initialize(&argc, argv);
    RunTimes reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // The console flasher to its first status line, and cat, in alternation, so that both see the same
    // state of a shared machine; the target takes the medians, the spread is shown.
    std::vector<double> flasher_ms, cat_ms, ratios, private_mib;
    std::string first_line;
    for (int round = 0; round < 9; round++) {
        double c = time_cat(g_PayloadPath);
        StartUp f = time_flasher(g_PayloadPath);
        if (c <= 0 || f.Ms < 0) {
            fprintf(stderr, "bench_package: round %d of the start-up failed\n", round);
            break;
        }
        first_line = f.Line;
        cat_ms.push_back(c);
        flasher_ms.push_back(f.Ms);
        ratios.push_back(f.Ms / c);
        private_mib.push_back(f.PrivateMiB);
    }
    remove(g_PayloadPath.c_str());

    double ours = reporter.MedianCpu("BM_crc32_update"), zlib = reporter.MedianCpu("BM_zlib_crc32");
    double deflate = reporter.MedianCpu("BM_libdeflate_crc32");
    double wide256 = reporter.MedianCpu("BM_crc32_engine/" + std::to_string(CRC32_ENGINE_VPCLMUL256));
    double load = reporter.Median("BM_load_image_table"), cat = reporter.Median("BM_cat_payload");
    printf("crc32_update %.1f GB/s of processor time (%s), libdeflate %.1f GB/s, zlib %.1f GB/s\n",
           CRC_BUFFER / ours / 1e9, crc32_engine_name(crc32_selected_engine()), CRC_BUFFER / deflate / 1e9,
           CRC_BUFFER / zlib / 1e9);
    if (wide256 > 0)
        printf("vpclmul256 engine %.1f GB/s, %.2f times libdeflate (informational)\n",
               CRC_BUFFER / wide256 / 1e9, deflate / wide256);
    printf("load_image_table %.0f ms, cat %.0f ms on the warm 1 GiB flasher (time ratio, at most 3)\n",
           load * 1e3, cat * 1e3);
    bool started = ratios.size() == 9;
    if (started) {
        printf(
            "console flasher to its first status line (\"%s\"): median %.0f ms (%.0f-%.0f), cat median %.0f "
            "ms "
            "(%.0f-%.0f); ratio per round %.2f-%.2f; private memory (RssAnon) %.1f MiB\n",
            first_line.c_str(), median(flasher_ms), *std::min_element(flasher_ms.begin(), flasher_ms.end()),
            *std::max_element(flasher_ms.begin(), flasher_ms.end()), median(cat_ms),
            *std::min_element(cat_ms.begin(), cat_ms.end()), *std::max_element(cat_ms.begin(), cat_ms.end()),
            *std::min_element(ratios.begin(), ratios.end()), *std::max_element(ratios.begin(), ratios.end()),
            median(private_mib));
    }
    bool measured = ours > 0 && zlib > 0 && deflate > 0 && load > 0 && cat > 0;
    double startup = started ? median(flasher_ms) / median(cat_ms) : 0;
    double memory = started ? *std::max_element(private_mib.begin(), private_mib.end()) : 0;
    print_target("crc32_update_vs_zlib", measured ? zlib / ours : 0, 2, measured && zlib / ours >= 2);
    print_target("crc32_update_vs_libdeflate", measured ? deflate / ours : 0, 1.6,
                 measured && deflate / ours >= 1.6);
    print_target("load_image_table_vs_cat", measured ? load / cat : 0, 3, measured && load / cat <= 3);
    print_target("startup_first_status_line_vs_cat", startup, 1.5, started && startup <= 1.5);
    print_target("startup_private_memory_mib", memory, 32, started && memory <= 32);
    return measured && started ? 0 : 1;
}
