#include "rigs/demo/demo_firmware.h"

#include <cstdio>
#include <cstring>

#include "os/file_io.h"
#include "os/file_system.h"
#include "package/pack_archive.h"
#include "tools/pack_output.h"

const DemoImage DEMO_IMAGES[13] = {
    {"qcsblhd_cfgdata.mbn", 1000}, {"qcsbl.mbn", 180227},   {"oemsblhd.mbn", 40},
    {"oemsbl.mbn", 415011},        {"amsshd.mbn", 40},      {"amss.mbn", 3200013},
    {"cefs.mbn", 1048576},         {"appsboothd.mbn", 40},  {"appsboot.mbn", 262147},
    {"boot.img", 2621441},         {"system.img", 8388617}, {"recovery.img", 3145739},
    {"userdata.img", 1572871},
};

const char *const DEMO_PARTITIONS[12] = {"qcsblhd", "qcsbl",      "oemsblhd", "oemsbl", "amsshd", "amss",
                                         "cefs",    "appsboothd", "appsboot", "boot",   "system", "recovery"};

namespace {

constexpr uint32_t DEMO_BLOCK = 4096;
constexpr uint32_t DEMO_LABEL = 32;

uint64_t splitmix64(uint64_t *state) {
    uint64_t z = (*state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

std::vector<uint8_t> demo_image_contents(const char *name, uint32_t size) {
    std::vector<uint8_t> bytes(size);
    const uint64_t seed = pack_name_hash(name);
    for (uint32_t block = 0; block * uint64_t(DEMO_BLOCK) < size; block++) {
        uint32_t start = block * DEMO_BLOCK;
        uint32_t end = size - start < DEMO_BLOCK ? size : start + DEMO_BLOCK;
        char label[DEMO_LABEL + 1];
        snprintf(label, sizeof label, "[%.20s +%08X]", name, start);
        memset(label + strlen(label), ' ', DEMO_LABEL - strlen(label));
        label[DEMO_LABEL - 1] = '\n';
        uint64_t state = seed << 32 | block;
        for (uint32_t i = start; i < end; i++) {
            uint32_t at = i - start;
            if (at < DEMO_LABEL)
                bytes[i] = static_cast<uint8_t>(label[at]);
            else
                bytes[i] = static_cast<uint8_t>(splitmix64(&state));
        }
    }
    return bytes;
}

std::vector<uint8_t> demo_device_list() {
    // The first comment says, in Chinese in the GBK code page, "case-sensitive": the hardware id is
    // compared as it stands.
    static const char text[] = "\r\n"
                               "#\xC7\xF8\xB7\xD6\xB4\xF3\xD0\xA1\xD0\xB4\r\n"
                               "\r\n"
                               "#TX100\r\n"
                               "USB\\Vid_18d1&Pid_d00d&Rev_0100";
    return std::vector<uint8_t>(text, text + sizeof text - 1);
}

bool write_demo_firmware(const char *dir, std::string *error) {
    if (!make_directories(dir, error))
        return false;
    std::string base = dir;
    if (!base.empty() && base.back() != '/' && base.back() != '\\')
        base += '/';
    for (const DemoImage &image : DEMO_IMAGES) {
        std::vector<uint8_t> bytes = demo_image_contents(image.Name, image.Size);
        if (!write_whole_file((base + image.Name).c_str(), bytes.data(), bytes.size(), false, error))
            return false;
    }
    std::vector<uint8_t> list = demo_device_list();
    return write_whole_file((base + "DeviceList.dat").c_str(), list.data(), list.size(), false, error);
}
