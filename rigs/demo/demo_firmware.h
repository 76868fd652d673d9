// The demo firmware: every image of the table with contents that can be regenerated at will, so that a
// flashed partition can be checked byte for byte, and a device list for the demo phone.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DemoImage {
    const char *Name;
    uint32_t Size;
};

// The 13 images of the table, in table order, with their demo sizes (odd ones among them, so that data
// phases end in partial chunks).
extern const DemoImage DEMO_IMAGES[13];

// The partitions a flasher writes the first twelve images of the table to, in table order, which is also
// the order it writes them in: for checking a flashed phone against the demo firmware.
extern const char *const DEMO_PARTITIONS[12];

// The demo contents of image NAME at SIZE bytes. Every 4096-byte block starts with a 32-byte label such
// as "[boot.img +00003000]" followed by pseudo-random bytes seeded by the name and the block, so a
// misplaced, repeated or missing block shows in a dump and in a comparison.
std::vector<uint8_t> demo_image_contents(const char *name, uint32_t size);

// "DeviceList.dat" for the demo phone: CR LF lines, comments starting with '#', then the hardware id of its
// fastboot interface without a line end.
std::vector<uint8_t> demo_device_list();

// Writes the 13 images and "DeviceList.dat" into DIR, creating DIR when needed. False with a sentence in
// ERROR on failure.
bool write_demo_firmware(const char *dir, std::string *error);
