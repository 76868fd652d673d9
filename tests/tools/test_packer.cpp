#include "tools/packer.h"

#include <gtest/gtest.h>

#include <cstring>

#include "package/image_table.h"
#include "package/pack_archive.h"
#include "tests/support/test_files.h"
#include "tools/demo_firmware.h"
#include "tools/pack_cli.h"
#include "tools/pack_output.h"

namespace {

// A small firmware folder: every known entry, a few bytes each, distinct contents.
void write_small_firmware(const TempDir &dir, const std::string &folder) {
    std::filesystem::create_directories(dir.Path(folder));
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        std::vector<uint8_t> bytes = demo_image_contents(IMAGE_ENTRY_NAMES[i], 40 + 3 * i);
        write_file(dir.Path(folder + "/" + IMAGE_ENTRY_NAMES[i]), bytes);
    }
}

// Grows PATH to SIZE bytes without writing them (sparse where the file system allows).
void make_sized_file(const std::string &path, uint64_t size) {
    write_file(path, {'M', 'Z'});
    std::filesystem::resize_file(path, size);
}

struct CliResult {
    int Code;
    std::string Out;
    std::string Err;
};

std::string slurp(FILE *file) {
    std::string text;
    rewind(file);
    char piece[4096];
    while (size_t got = fread(piece, 1, sizeof piece, file))
        text.append(piece, got);
    fclose(file);
    return text;
}

CliResult run_cli(std::vector<std::string> args) {
    args.insert(args.begin(), "tarnex-pack");
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    FILE *out = tmpfile(), *err = tmpfile();
    int code = tarnex_pack_main(static_cast<int>(argv.size()), argv.data(), out, err);
    return {code, slurp(out), slurp(err)};
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

class PackerTest : public ::testing::Test {
protected:
    ~PackerTest() override { free_file_buffer(m_Table.FileBuffer); }

    const char *Load(const std::string &path) {
        free_file_buffer(m_Table.FileBuffer);
        m_Table = ImageTable{};
        return load_image_table(path.c_str(), &m_Table);
    }

    TempDir m_Dir;
    ImageTable m_Table{};
};

} // namespace

TEST_F(PackerTest, BuiltFlasherIsAcceptedWithEverySlotInPlace) {
    write_small_firmware(m_Dir, "fw");
    std::vector<uint8_t> base = bytes_of("MZ stand-in base executable");
    write_file(m_Dir.Path("base.exe"), base);
    PackReport report;
    ASSERT_TRUE(pack_build(m_Dir.Path("base.exe").c_str(), m_Dir.Path("fw").c_str(),
                           m_Dir.Path("out.exe").c_str(), PackOptions{}, &report))
        << report.Error;
    EXPECT_TRUE(report.Warnings.empty());
    EXPECT_EQ(report.EntryCount, 15u);

    ASSERT_EQ(Load(m_Dir.Path("out.exe")), nullptr);
    EXPECT_EQ(memcmp(m_Table.FileBuffer, base.data(), base.size()), 0); // the base comes first, unchanged
    uint32_t total = 0;
    const uint8_t *previous = nullptr;
    for (int i = 0; i < IMAGE_SLOT_COUNT; i++) {
        const ImageSlot &slot = m_Table.Slots[i];
        std::vector<uint8_t> expected = read_file(m_Dir.Path(std::string("fw/") + IMAGE_ENTRY_NAMES[i]));
        ASSERT_EQ(std::vector<uint8_t>(slot.Data, slot.Data + slot.Size), expected) << IMAGE_ENTRY_NAMES[i];
        EXPECT_GT(slot.Data, previous); // written in table order
        previous = slot.Data;
        total += i < IMAGE_COUNTED_SLOTS ? slot.Size : 0;
    }
    EXPECT_EQ(m_Table.TotalImageBytes, total);
    EXPECT_EQ(read_file(m_Dir.Path("base.exe")), base);

    // One flipped bit anywhere in the body is refused.
    std::vector<uint8_t> flasher = read_file(m_Dir.Path("out.exe"));
    for (size_t at = base.size(); at < flasher.size() - 8; at++) {
        std::vector<uint8_t> bad = flasher;
        bad[at] ^= uint8_t(1 << (at % 8));
        ImageTable table{};
        ASSERT_NE(index_image_table(bad.data(), static_cast<uint32_t>(bad.size()), &table), nullptr) << at;
    }
}

TEST_F(PackerTest, MemoryAndFileProducersAgree) {
    std::vector<PackBlob> blobs = {{"boot.img", {1, 2, 3}}, {"extra.bin", {}}, {"DeviceList.dat", {'x'}}};
    std::vector<PackSource> sources;
    for (const PackBlob &blob : blobs) {
        write_file(m_Dir.Path(blob.Name), blob.Bytes);
        sources.push_back({blob.Name, m_Dir.Path(blob.Name)});
    }
    PackReport report;
    ASSERT_TRUE(pack_create(m_Dir.Path("out.pkg").c_str(), sources, PackOptions{}, &report)) << report.Error;
    EXPECT_EQ(read_file(m_Dir.Path("out.pkg")), pack_payload(blobs));

    write_file(m_Dir.Path("base"), {'B'});
    std::string error;
    ASSERT_TRUE(pack_build_blobs(m_Dir.Path("base").c_str(), blobs, m_Dir.Path("f.exe").c_str(), &error))
        << error;
    EXPECT_EQ(read_file(m_Dir.Path("f.exe")), pack_flasher_bytes({'B'}, blobs));
}

TEST_F(PackerTest, UnknownFilesAreLeftOutWithAWarning) {
    write_small_firmware(m_Dir, "fw");
    std::filesystem::remove(m_Dir.Path("fw/boot.img")); // Windows file names ignore case
    write_file(m_Dir.Path("fw/Boot.IMG"), {1});
    write_file(m_Dir.Path("fw/notes.txt"), {2});
    std::filesystem::create_directories(m_Dir.Path("fw/old"));
    write_file(m_Dir.Path("base"), {'B'});
    PackReport report;
    ASSERT_TRUE(pack_build(m_Dir.Path("base").c_str(), m_Dir.Path("fw").c_str(), m_Dir.Path("out").c_str(),
                           PackOptions{}, &report));
    ASSERT_EQ(report.Warnings.size(), 3u);
    EXPECT_TRUE(contains(report.Warnings[0], "did you mean boot.img")) << report.Warnings[0];
    EXPECT_EQ(report.EntryCount, 14u);
}

// Every refusal is decided before anything is written: no output, no temporary file, an earlier output
// left as it was.
TEST_F(PackerTest, RefusalsLeaveNoTrace) {
    write_file(m_Dir.Path("base"), {'B'});
    write_file(m_Dir.Path("out"), bytes_of("earlier flasher"));
    std::filesystem::create_directories(m_Dir.Path("fw"));
    write_file(m_Dir.Path("fw/boot.img"), {1, 2});
    auto refused = [&](const char *why, const std::string &base, bool allow_incomplete = false) {
        PackOptions options;
        options.AllowIncomplete = allow_incomplete;
        PackReport report;
        EXPECT_FALSE(
            pack_build(base.c_str(), m_Dir.Path("fw").c_str(), m_Dir.Path("out").c_str(), options, &report))
            << why;
        EXPECT_FALSE(report.Error.empty()) << why;
        EXPECT_EQ(read_file(m_Dir.Path("out")), bytes_of("earlier flasher")) << why;
        EXPECT_EQ(m_Dir.Names(), (std::vector<std::string>{"base", "fw", "out"})) << why;
        return report.Error;
    };

    EXPECT_TRUE(contains(refused("incomplete", m_Dir.Path("base")), "AdbWinApi.dll"));
    write_file(m_Dir.Path("fw/AdbWinApi.dll"), {3});
    EXPECT_TRUE(contains(refused("incomplete", m_Dir.Path("base")), "DeviceList.dat"));
    write_file(m_Dir.Path("fw/DeviceList.dat"), {});
    EXPECT_TRUE(contains(refused("empty device list", m_Dir.Path("base")), "empty"));
    write_file(m_Dir.Path("fw/DeviceList.dat"), {'x'});
    EXPECT_TRUE(contains(refused("missing base", m_Dir.Path("nothing")), "does not exist"));
    EXPECT_TRUE(contains(refused("output is the base", m_Dir.Path("out")), "base executable itself"));

    // Sparse files where the file system allows: only their sizes are looked at, nothing is read.
    make_sized_file(m_Dir.Path("fw/system.img"), uint64_t(1) << 31);
    EXPECT_TRUE(contains(refused("image of 2 GiB", m_Dir.Path("base")), "smaller than 2 GiB"));
    make_sized_file(m_Dir.Path("fw/system.img"), (uint64_t(1) << 31) - 1);
    make_sized_file(m_Dir.Path("base"), (uint64_t(1) << 31) + 1000);
    EXPECT_TRUE(contains(refused("output of 4 GiB", m_Dir.Path("base")), "below 4 GiB"));
}

TEST_F(PackerTest, CreateNamesEntriesAndKeepsTheGivenOrder) {
    write_file(m_Dir.Path("a.bin"), {1});
    write_file(m_Dir.Path("b=c.bin"), {2});
    CliResult result = run_cli({"create", m_Dir.Path("out.pkg"), "boot.img=" + m_Dir.Path("a.bin"),
                                m_Dir.Path("b=c.bin"), "boot.img=" + m_Dir.Path("b=c.bin")});
    ASSERT_EQ(result.Code, 0) << result.Err;
    EXPECT_TRUE(contains(result.Err, "boot.img is given twice")) << result.Err;
    EXPECT_EQ(read_file(m_Dir.Path("out.pkg")),
              pack_payload({{"boot.img", {1}}, {"b=c.bin", {2}}, {"boot.img", {2}}}));

    result = run_cli({"list", m_Dir.Path("out.pkg")});
    ASSERT_EQ(result.Code, 0) << result.Err;
    EXPECT_TRUE(contains(result.Out, "superseded")) << result.Out;
    EXPECT_TRUE(contains(result.Out, "hash 0x")) << result.Out;
}

TEST_F(PackerTest, VerifyAndExtractFollowTheLocator) {
    write_small_firmware(m_Dir, "fw");
    write_file(m_Dir.Path("base"), {'B'});
    CliResult result = run_cli({"build", m_Dir.Path("base"), m_Dir.Path("fw"), m_Dir.Path("f.exe")});
    ASSERT_EQ(result.Code, 0) << result.Err;

    result = run_cli({"verify", m_Dir.Path("f.exe")});
    EXPECT_EQ(result.Code, 0);
    EXPECT_TRUE(contains(result.Out, "verdict: accepted")) << result.Out;

    result = run_cli({"extract", m_Dir.Path("f.exe"), m_Dir.Path("out/x")});
    ASSERT_EQ(result.Code, 0) << result.Err;
    for (const char *name : IMAGE_ENTRY_NAMES)
        EXPECT_EQ(read_file(m_Dir.Path(std::string("out/x/") + name)),
                  read_file(m_Dir.Path(std::string("fw/") + name)));

    std::vector<uint8_t> damaged = read_file(m_Dir.Path("f.exe"));
    damaged[damaged.size() / 2] ^= 1;
    write_file(m_Dir.Path("bad.exe"), damaged);
    result = run_cli({"verify", m_Dir.Path("bad.exe")});
    EXPECT_EQ(result.Code, 1);
    EXPECT_TRUE(contains(result.Out, "verdict: This file has been destroyed! (the checksum")) << result.Out;
    EXPECT_EQ(run_cli({"list", m_Dir.Path("bad.exe")}).Code, 1);
    EXPECT_EQ(run_cli({"extract", m_Dir.Path("bad.exe"), m_Dir.Path("never")}).Code, 1);
    EXPECT_FALSE(std::filesystem::exists(m_Dir.Path("never")));
}

TEST_F(PackerTest, UsageErrorsAndHelp) {
    EXPECT_EQ(run_cli({}).Code, 2);
    EXPECT_EQ(run_cli({"frobnicate"}).Code, 2);
    EXPECT_EQ(run_cli({"build", "--force", "a", "b", "c"}).Code, 2);
    EXPECT_EQ(run_cli({"build", "a", "b"}).Code, 2);
    EXPECT_EQ(run_cli({"create", "out.pkg"}).Code, 2);
    EXPECT_EQ(run_cli({"list"}).Code, 2);
    for (const char *command : {"create", "build", "list", "verify", "extract"}) {
        CliResult help = run_cli({command, "--help"});
        EXPECT_EQ(help.Code, 0);
        EXPECT_TRUE(contains(help.Out, std::string("usage: tarnex-pack ") + command)) << help.Out;
    }
    EXPECT_TRUE(contains(run_cli({"--help"}).Out, "commands:"));
    CliResult missing = run_cli({"list", m_Dir.Path("nothing")});
    EXPECT_EQ(missing.Code, 1);
    EXPECT_TRUE(contains(missing.Err, "does not exist")) << missing.Err;
}

TEST_F(PackerTest, OutputIsAllOrNothing) {
    {
        PackOutput out;
        ASSERT_TRUE(out.Open(m_Dir.Path("abandoned").c_str(), false));
        ASSERT_TRUE(out.Write("partial", 7));
    }
    EXPECT_TRUE(m_Dir.Names().empty());

    // The rename fails (a folder holds the final name): the temporary file goes, the folder stays.
    std::filesystem::create_directories(m_Dir.Path("taken/inside"));
    PackOutput out;
    ASSERT_TRUE(out.Open(m_Dir.Path("taken").c_str(), false));
    ASSERT_TRUE(out.Write("data", 4));
    EXPECT_FALSE(out.Commit());
    EXPECT_TRUE(contains(out.Error(), "taken")) << out.Error();
    EXPECT_EQ(m_Dir.Names(), std::vector<std::string>{"taken"});
}

TEST(DemoFirmware, ContentsAreLabelledAndReproducible) {
    std::vector<uint8_t> boot = demo_image_contents("boot.img", 10000);
    EXPECT_EQ(boot, demo_image_contents("boot.img", 10000));
    EXPECT_NE(boot, demo_image_contents("recovery.img", 10000));
    EXPECT_EQ(std::string(boot.begin() + 4096, boot.begin() + 4096 + 20), "[boot.img +00001000]");
    EXPECT_NE(std::vector<uint8_t>(boot.begin() + 32, boot.begin() + 4096),
              std::vector<uint8_t>(boot.begin() + 4096 + 32, boot.begin() + 8192));

    std::vector<uint8_t> list = demo_device_list();
    EXPECT_EQ(list.size(), 55u);
    EXPECT_EQ(std::string(list.end() - 30, list.end()), "USB\\Vid_18d1&Pid_d00d&Rev_0100");
}
