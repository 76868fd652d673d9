// Shared by the tests of the libusb driver library: running under umockdev's preload, the emulated bus,
// and the library loaded and bound the way the product binds its driver.
//
// libusb in this process reaches the emulated bus only through umockdev's preload library, which must be
// loaded before the program starts: main() restarts the test program under it when it is not (and the
// ASan option that a preload before the sanitizer runtime needs). Where the preload cannot be had, every
// test that needs it skips and says why.
#pragma once

#include "rigs/usb_emulation/usb_emulation.h"
#include "tests/libusb/driver_library.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace libusb_test {

inline const char PRELOAD[] = "libumockdev-preload.so.0";

inline bool preloaded() {
    const char *v = std::getenv("LD_PRELOAD");
    return v != nullptr && std::strstr(v, "libumockdev-preload") != nullptr;
}

// Why the emulation cannot run here, or empty when it can.
inline std::string emulation_unavailable() {
    if (!preloaded())
        return std::string("umockdev's preload library ") + PRELOAD +
               " could not be loaded (Debian package umockdev): no emulated USB bus";
    return {};
}

// ThreadSanitizer cannot see the locking inside umockdev, GLib, libudev and libusb (none of them is built
// for it): its reports there are suppressed, here and in every program the tests start. libudev's calls
// are not even checked (tsan.supp says why), which ThreadSanitizer allows only for a library that is never
// unloaded: it is preloaded, so that unloading the driver library with its libusb keeps it.
inline void add_thread_sanitizer_suppressions() {
#if defined(__SANITIZE_THREAD__)
    const char *tsan = std::getenv("TSAN_OPTIONS");
    std::string options = tsan != nullptr && *tsan != '\0' ? std::string(tsan) : "";
    if (options.find("suppressions=") == std::string::npos)
        setenv("TSAN_OPTIONS", (options + ":suppressions=" TARNEX_LIBUSB_TSAN_SUPPRESSIONS).c_str(), 1);
    const char *preload = std::getenv("LD_PRELOAD");
    std::string libraries = preload != nullptr ? preload : "";
    if (libraries.find("libudev.so.1") == std::string::npos)
        setenv("LD_PRELOAD", (libraries.empty() ? "" : libraries + ":").append("libudev.so.1").c_str(), 1);
#endif
}

// For main(): restarts the program under the preload when it can. Returns only when no restart happened.
inline void restart_under_umockdev(char **argv) {
    if (preloaded() || std::getenv("TARNEX_LIBUSB_TEST_RESTARTED") != nullptr)
        return;
    void *probe = dlopen(PRELOAD, RTLD_LAZY | RTLD_NOLOAD);
    if (probe == nullptr)
        probe = dlopen(PRELOAD, RTLD_LAZY);
    if (probe == nullptr)
        return; // not installed: the tests skip
    dlclose(probe);
    const char *old = std::getenv("LD_PRELOAD");
    std::string preload = old != nullptr && *old != '\0' ? std::string(PRELOAD) + ":" + old : PRELOAD;
    setenv("LD_PRELOAD", preload.c_str(), 1);
    const char *asan = std::getenv("ASAN_OPTIONS");
    std::string options = asan != nullptr && *asan != '\0' ? std::string(asan) + ":" : "";
    setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0").c_str(), 1);
    add_thread_sanitizer_suppressions();
    setenv("TARNEX_LIBUSB_TEST_RESTARTED", "1", 1);
    execv("/proc/self/exe", argv);
}

// An emulated bus with the phones of a scenario, and the driver library loaded and bound into
// g_DriverApi. The library is unloaded (ending its libusb context) before the bus goes.
class EmulatedBus : public ::testing::Test {
protected:
    void TearDown() override {
        unload_driver();
        if (emulation != nullptr) {
            EXPECT_TRUE(emulation->faults().empty()) << "faults: " << join(emulation->faults());
            emulation.reset();
        }
    }

    // Starts the bus; false (with a failure recorded) when it cannot start.
    bool start(const std::string &scenario_text, tarnex::usb_emulation::EmulationOptions options = {}) {
        tarnex::sim::Scenario scenario;
        std::string error;
        if (!tarnex::sim::parse_scenario(scenario_text, scenario, error)) {
            ADD_FAILURE() << "scenario: " << error;
            return false;
        }
        emulation = tarnex::usb_emulation::UsbEmulation::start(std::move(scenario), options, error);
        if (emulation == nullptr) {
            ADD_FAILURE() << "emulation: " << error;
            return false;
        }
        return load_driver();
    }

    bool load_driver() {
        std::string error;
        if (!library.load(error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return true;
    }

    void unload_driver() { library.unload(); }

    static std::string join(const std::vector<std::string> &lines) {
        std::string text;
        for (const auto &l : lines)
            text += l + "\n";
        return text;
    }

    std::unique_ptr<tarnex::usb_emulation::UsbEmulation> emulation;
    DriverLibrary library;
};

} // namespace libusb_test

// Skips the current test, loudly, when the emulated bus cannot run here.
#define REQUIRE_EMULATION()                                                                                  \
    do {                                                                                                     \
        std::string why_not = libusb_test::emulation_unavailable();                                          \
        if (!why_not.empty())                                                                                \
            GTEST_SKIP() << why_not;                                                                         \
    } while (0)
