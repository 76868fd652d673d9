// tarnex-demo-firmware DIR: writes the demo firmware (the 13 images and DeviceList.dat) into DIR.
#include <cstdio>
#include <string>

#include "rigs/demo/demo_firmware.h"

int main(int argc, char **argv) {
    if (argc != 2 || argv[1][0] == '-') {
        fprintf(stderr,
                "usage: tarnex-demo-firmware DIR\n"
                "Writes the demo firmware images and DeviceList.dat into DIR (created when missing).\n");
        return 2;
    }
    std::string error;
    if (!write_demo_firmware(argv[1], &error)) {
        fprintf(stderr, "tarnex-demo-firmware: %s\n", error.c_str());
        return 1;
    }
    uint64_t total = 0;
    for (const DemoImage &image : DEMO_IMAGES)
        total += image.Size;
    printf("demo firmware in %s: 13 images, %llu bytes, and DeviceList.dat\n", argv[1],
           static_cast<unsigned long long>(total));
    return 0;
}
