// Helpers of the packer's tests: a small firmware folder and tarnex-pack run in-process.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "package/image_table.h"
#include "rigs/demo/demo_firmware.h"
#include "tests/support/test_files.h"
#include "tools/pack_cli.h"

// A small firmware folder: every known entry, a few bytes each, distinct contents.
inline void write_small_firmware(const TempDir &dir, const std::string &folder) {
    std::filesystem::create_directories(dir.Path(folder));
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        std::vector<uint8_t> bytes = demo_image_contents(IMAGE_ENTRY_NAMES[i], 40 + 3 * i);
        write_file(dir.Path(folder + "/" + IMAGE_ENTRY_NAMES[i]), bytes);
    }
}

struct CliResult {
    int Code;
    std::string Out;
    std::string Err;
};

inline std::string slurp(FILE *file) {
    std::string text;
    rewind(file);
    char piece[4096];
    while (size_t got = fread(piece, 1, sizeof piece, file))
        text.append(piece, got);
    fclose(file);
    return text;
}

inline CliResult run_cli(std::vector<std::string> args) {
    args.insert(args.begin(), "tarnex-pack");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    FILE *out = tmpfile(), *err = tmpfile();
    int code = tarnex_pack_main(static_cast<int>(argv.size()), argv.data(), out, err);
    return {code, slurp(out), slurp(err)};
}

inline bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}
