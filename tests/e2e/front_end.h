// The flasher end to end, the way its operator meets it, on any front end: the end-to-end scenarios
// (scenarios.cpp) are written once against this and run on every front end that implements it. Each
// test program links exactly one front end, which defines make_front_end():
//
//   headless_front_end.cpp  the application in this process on the headless window (native builds);
//   qt_front_end.cpp        the same on the Qt window (native builds);
//   wine_front_end.cpp      the real tarnex.exe under Wine, driven through the window system.
//
// A front end builds the flasher from its own base executable with the simulated phone as the driver
// library, runs it with the phone of a scenario, and hands out the operator of its window. The phone
// keeps its transcript and flashed partitions in files of the run's folder (TARNEX_SIM_TRANSCRIPT,
// TARNEX_SIM_PARTITION_DIR), so that a scenario reads them the same way whether the flasher runs in this
// process or another.
#pragma once

#include "framework/operator.h"
#include "package/image_table.h"
#include "rigs/demo/demo_firmware.h"
#include "tools/packer.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// One start of a flasher.
struct FlasherRun {
    std::string name = "flasher";            // its file name without extension: the boxes' caption
    std::vector<uint8_t> file;               // the flasher's bytes (base, package, trailer); in
                                             // process, empty means no file at all
    std::string scenario = "device phone\n"; // the simulated phone's scenario text
    std::filesystem::path temp;              // TEMP for the flasher; empty: the run's own folder
};

class FrontEnd {
public:
    virtual ~FrontEnd() = default;

    // --- What flashers are made of on this front end.

    // The base executable as built, without a package.
    virtual std::vector<uint8_t> base() = 0;
    // The simulated phone's library, to ship as "AdbWinApi.dll".
    virtual std::vector<uint8_t> sim_library() = 0;
    // A library that loads but lacks driver operations.
    virtual std::vector<uint8_t> partial_library() = 0;
    // True where a library that failed to load stays in TEMP (Windows); POSIX removes its private folder
    // on every way out.
    virtual bool failed_library_stays() = 0;
    // True where a TEMP that cannot take the library is passed over for the next temporary directory
    // (POSIX); Windows has %TEMP% alone.
    virtual bool tries_next_temp() = 0;

    // --- A run.

    // A fresh folder for this test's files, kept until the front end goes.
    virtual std::filesystem::path work() = 0;

    // Writes the flasher into work() and starts it, with `environment` set besides what the front end
    // sets. False, with a test failure, when it cannot start.
    virtual bool launch(const FlasherRun &run) = 0;

    // More variables for the runs started from now on, as name and value.
    std::vector<std::pair<std::string, std::string>> environment;

    // The operator of the running flasher's windows.
    virtual Operator &op() = 0;

    // Waits for the flasher to end and gives its exit code. False after `timeout_ms`.
    virtual bool wait_exit(int timeout_ms, int *exit_code) = 0;

    // What the flasher wrote to standard error (and output) so far, lines ending in "\n".
    virtual std::string errors() = 0;

    // Ends whatever still runs of the last launch (its window, a worker left behind by "Exit") and puts
    // back what the run changed, so that the next launch starts afresh.
    virtual void end() = 0;

    // A time-out for the first window of a start: Wine may take a while when cold.
    virtual int start_ms() = 0;

    // Keeps a picture of what is on top (a message box, else the window worked) as NAME.png where the front
    // end keeps its screenshots (for front ends with pixels; the headless window has none).
    virtual void screenshot(const char *name) = 0;
};

// The front end of this test program.
std::unique_ptr<FrontEnd> make_front_end();

// --- What a scenario flashes.

// Every image, small, with contents that show where each block belongs (the thirteenth, "userdata.img",
// is never written); the front end's simulated phone as the driver library; `device_list`.
inline std::vector<PackBlob> small_firmware(FrontEnd &fe, const std::vector<uint8_t> &device_list) {
    std::vector<PackBlob> entries;
    for (int i = 0; i < IMAGE_COUNTED_SLOTS; ++i) {
        const char *name = IMAGE_ENTRY_NAMES[i];
        entries.push_back({name, demo_image_contents(name, 5000 + 7919u * static_cast<uint32_t>(i))});
    }
    entries.push_back({"AdbWinApi.dll", fe.sim_library()});
    entries.push_back({"DeviceList.dat", device_list});
    return entries;
}

// --- What a scenario reads of a run's files.

inline std::vector<uint8_t> read_bytes(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string read_text(const std::filesystem::path &path) {
    std::vector<uint8_t> bytes = read_bytes(path);
    return std::string(bytes.begin(), bytes.end());
}

inline void write_bytes(const std::filesystem::path &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
