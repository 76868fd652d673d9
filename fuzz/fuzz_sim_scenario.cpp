// Scenario text is outside input (a file named by an environment variable). Any text must give a clear
// refusal or a phone that survives a whole flash conversation with every handle closed again.
// The library is loaded from this program's folder, as the product loads a driver library.

#include "drivers/sim/sim_binding.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

SimBinding sim;

void exchange(ADBAPIHANDLE rd, ADBAPIHANDLE wr, const std::string &command, uint32_t data_bytes) {
    std::vector<uint8_t> bytes(command.begin(), command.end());
    uint32_t n = 0;
    if (!sim.AdbWriteEndpointSync(wr, bytes.data(), static_cast<uint32_t>(bytes.size()), &n, 1000))
        return;
    uint8_t reply[64];
    // Bounded: a scripted phone may stay silent for ever, and the host's endless wait is not ours.
    for (int i = 0; i < 8; ++i) {
        if (!sim.AdbReadEndpointSync(rd, reply, sizeof reply, &n, 1000))
            continue;
        if (n >= 4 && std::string(reinterpret_cast<char *>(reply), 4) == "DATA" && data_bytes > 0) {
            std::vector<uint8_t> data(data_bytes, 0x5A);
            uint32_t pos = 0;
            while (pos < data_bytes &&
                   sim.AdbWriteEndpointSync(wr, data.data() + pos, data_bytes - pos, &n, 1000) && n > 0)
                pos += n;
            data_bytes = 0;
            continue;
        }
        if (n < 4 || std::string(reinterpret_cast<char *>(reply), 4) != "INFO")
            return;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    auto path = std::filesystem::read_symlink("/proc/self/exe").parent_path() / "libtarnex_sim.so";
    void *lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr || !sim.bind([lib](const char *name) { return dlsym(lib, name); })) {
        std::fprintf(stderr, "fuzz_sim_scenario: cannot use %s: %s\n", path.c_str(),
                     lib == nullptr ? dlerror() : sim.error.c_str());
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    // Keys that write files or sleep are left out: a fuzzer must not litter the disk or wait.
    for (const char *skip : {"-file", "-dir", "rate", "delay", "after-reboot"}) {
        if (text.find(skip) != std::string::npos)
            return 0;
    }
    char error[256];
    if (sim.configure(text.c_str(), error, sizeof error) != 0)
        return 0;

    std::vector<std::u16string> names;
    ADBAPIHANDLE e = sim.AdbEnumInterfaces(ANDROID_USB_CLASS_ID, true, true, true);
    alignas(8) uint8_t entry[2048];
    uint32_t entry_size = sizeof entry;
    while (names.size() < 4 &&
           sim.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &entry_size)) {
        names.emplace_back(reinterpret_cast<const char16_t *>(entry + ADB_INTERFACE_NAME_OFFSET));
        entry_size = sizeof entry;
    }
    sim.AdbCloseHandle(e);

    for (const auto &name : names) {
        ADBAPIHANDLE iface = sim.AdbCreateInterfaceByName(name.c_str());
        if (iface == nullptr)
            continue;
        ADBAPIHANDLE rd = sim.AdbOpenDefaultBulkReadEndpoint(iface, 0, 0);
        ADBAPIHANDLE wr = sim.AdbOpenDefaultBulkWriteEndpoint(iface, 0, 0);
        if (rd != nullptr && wr != nullptr) {
            exchange(rd, wr, "download:00000010", 16);
            exchange(rd, wr, "flash:boot", 0);
            exchange(rd, wr, "erase:cache", 0);
            exchange(rd, wr, "getvar:max-download-size", 0);
            exchange(rd, wr, "reboot", 0);
        }
        for (ADBAPIHANDLE h : {wr, rd, iface}) {
            if (h != nullptr)
                sim.AdbCloseHandle(h);
        }
    }
    const TarnexSimHandleStats s = sim.stats();
    if (s.open_now != 0 || s.bad_closes != 0)
        __builtin_trap(); // every handle opened here was closed exactly once
    sim.clear_transcript();
    return 0;
}
