// The station flashing eight simulated phones at once against one phone alone, in one run: each phone on
// a link of its own paced like USB 2.0 (the simulated phone's "rate"), keeping checksums of what it
// receives rather than the data. The console station is started as a process of its own for each round,
// its rows read from its output; rounds of one and of eight alternate, so that both see the same state of
// a shared machine, and the targets take the medians.
//
// Targets: the eight finish within 1.25 times the one's time; the station's private memory (RssAnon,
// which leaves out the mapped station file) stays under 64 MiB while the eight run.
#include "bench/targets.h"
#include "tests/support/child_process.h"
#include "tools/packer.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr uint32_t MiB = 1024 * 1024;
constexpr int ROUNDS = 3;
// What USB 2.0 carries of a bulk transfer in practice.
constexpr char LINK_RATE[] = "38M";

std::vector<uint8_t> read_all(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<uint8_t> noise(uint32_t size, uint64_t seed) {
    std::vector<uint8_t> bytes(size);
    uint64_t x = seed | 1;
    for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(&bytes[i], &x, 8);
    }
    return bytes;
}

// A station of 64 MiB of images: about 1.8 s per phone on its link.
bool write_station(const fs::path &path, const fs::path &bin) {
    std::vector<PackBlob> entries = {
        {"qcsbl.mbn", noise(MiB / 4, 1)},    {"amss.mbn", noise(10 * MiB, 2)},
        {"appsboot.mbn", noise(MiB / 4, 3)}, {"boot.img", noise(5 * MiB, 4)},
        {"system.img", noise(48 * MiB, 5)},  {"AdbWinApi.dll", read_all(bin / "libtarnex_sim.so")},
    };
    const std::string list = "\r\n# the bench's phones\r\nUSB\\Vid_18d1&Pid_d00d&Rev_0100";
    entries.push_back({"DeviceList.dat", std::vector<uint8_t>(list.begin(), list.end())});
    const std::vector<uint8_t> base = read_all(bin / "tarnex-station-console");
    if (base.empty() || entries[5].Bytes.empty())
        return false;
    const std::vector<uint8_t> file = pack_flasher_bytes(base, entries);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(file.data()), static_cast<std::streamsize>(file.size()));
    out.close();
    fs::permissions(path, fs::perms::owner_all);
    return static_cast<bool>(out);
}

double rss_anon_mib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("RssAnon:", 0) == 0)
            return std::stod(line.substr(8)) / 1024;
    return -1;
}

struct Round {
    double seconds = -1;     // from "start" to the last phone's outcome
    double private_mib = -1; // the most RssAnon seen while the phones ran
};

// Runs the station at `path` with `phones` phones: waits for them ready, starts them all, and times them
// to their last "Download successfully!".
Round run_station(const fs::path &path, int phones) {
    const fs::path dir = path.parent_path();
    std::string scenario;
    for (int n = 1; n <= phones; ++n)
        scenario += "device p" + std::to_string(n) + "\nname usb:" + std::to_string(n) +
                    "-1:0\nvendor 0x18d1\nproduct 0xd00d\ndata crc\nrate " + LINK_RATE + "\n";
    std::ofstream(dir / "phones.txt") << scenario;
    fs::remove(dir / "station.csv");

    ChildProcess station;
    if (!station.start({path.string()}, "/dev/null",
                       {"TARNEX_SIM_SCENARIO=" + (dir / "phones.txt").string()}))
        return {};

    Round round;
    int ready = 0, done = 0;
    std::chrono::steady_clock::time_point started;
    std::atomic<bool> running{false}, over{false};
    std::atomic<double> most{-1};
    std::thread sampler([&] {
        while (!over) {
            if (running)
                most = std::max(most.load(), rss_anon_mib(station.pid()));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    station.read_until(
        [&](const std::string &line) {
            if (line.ends_with(": Ready 0%") && ++ready == phones) {
                started = std::chrono::steady_clock::now();
                running = true;
                if (!station.say("start"))
                    return true;
            }
            if (line.find(": Download successfully!") != std::string::npos)
                ++done;
            return done == phones || line.find(": Download failed!") != std::string::npos;
        },
        std::chrono::minutes(10));
    if (done == phones) {
        round.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        round.private_mib = most;
    }
    over = true;
    sampler.join();
    station.say("exit");
    station.close_input();
    station.wait_exit(std::chrono::seconds(60));
    return round;
}

} // namespace

int main() {
    const fs::path bin = fs::read_symlink("/proc/self/exe").parent_path();
    const fs::path dir = bin / ".." / "bench-data" / "station";
    fs::create_directories(dir);
    const fs::path station = dir / "station";
    if (!write_station(station, bin)) {
        std::fprintf(stderr, "bench_station: cannot make %s from %s/tarnex-station-console\n",
                     station.c_str(), bin.c_str());
        return 1;
    }
    std::vector<double> one, eight, memory;
    for (int r = 0; r < ROUNDS; ++r) {
        const Round alone = run_station(station, 1);
        const Round many = run_station(station, 8);
        std::printf("round %d: one phone %.2f s, eight phones %.2f s, private memory with eight %.1f MiB\n",
                    r + 1, alone.seconds, many.seconds, many.private_mib);
        if (alone.seconds <= 0 || many.seconds <= 0) {
            std::fprintf(stderr, "bench_station: a round did not finish\n");
            return 1;
        }
        one.push_back(alone.seconds);
        eight.push_back(many.seconds);
        memory.push_back(many.private_mib);
    }
    const double ratio = median(eight) / median(one);
    const double most = *std::max_element(memory.begin(), memory.end());
    std::printf(
        "station: 64 MiB of images on links of %s bytes/s: one phone median %.2f s, eight at once %.2f s "
        "(ratio %.2f); private memory with eight at most %.1f MiB\n",
        LINK_RATE, median(one), median(eight), ratio, most);
    print_target("station_eight_phones_vs_one", ratio, 1.25, ratio <= 1.25);
    print_target("station_private_memory_mib", most, 64, most >= 0 && most <= 64);
    return 0;
}
