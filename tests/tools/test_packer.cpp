#include "tools/packer.h"

#include <gtest/gtest.h>

#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

#include "package/image_table.h"
#include "package/pack_archive.h"
#include "tests/tools/pack_test.h"
#include "tools/pack_output.h"

namespace {

// Grows PATH to SIZE bytes without writing them (sparse where the file system allows).
void make_sized_file(const std::string &path, uint64_t size) {
    write_file(path, {'M', 'Z'});
    std::filesystem::resize_file(path, size);
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
    ASSERT_EQ(report.Warnings.size(), 1u); // a stand-in base: the driver library is not checked
    EXPECT_TRUE(contains(report.Warnings[0], "is not checked")) << report.Warnings[0];
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
    ASSERT_EQ(report.Warnings.size(), 4u); // the three files and the stand-in base
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
    EXPECT_TRUE(contains(result.Out, "is damaged, or not a package: the checksum")) << result.Out;
    EXPECT_TRUE(contains(result.Out, "verdict: This file has been destroyed!\n")) << result.Out;
    EXPECT_EQ(run_cli({"list", m_Dir.Path("bad.exe")}).Code, 1);
    EXPECT_EQ(run_cli({"extract", m_Dir.Path("bad.exe"), m_Dir.Path("never")}).Code, 1);
    EXPECT_FALSE(std::filesystem::exists(m_Dir.Path("never")));
}

// A folder on a share, \\server\share\dir: its root is the share, which exists and cannot be created,
// so only the folders below it are made. Wine serves \\server\share from its prefix's dosdevices/unc/.
TEST_F(PackerTest, ExtractMakesItsFolderOnAShare) {
#ifndef _WIN32
    GTEST_SKIP() << "shares (\\\\server\\share) are Windows paths; tested in the Windows build under Wine";
#else
    const char *prefix = getenv("WINEPREFIX");
    if (prefix == nullptr || GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr)
        GTEST_SKIP() << "no Wine prefix to serve a share from (WINEPREFIX unset, or not under Wine)";
    const std::string server = "tarnex-test-" + std::to_string(GetCurrentProcessId());
    std::filesystem::path unix_share =
        std::filesystem::path("Z:" + std::string(prefix)) / "dosdevices" / "unc" / server / "share";
    std::filesystem::create_directories(unix_share);
    write_small_firmware(m_Dir, "fw");
    write_file(m_Dir.Path("base"), {'B'});
    ASSERT_EQ(run_cli({"build", m_Dir.Path("base"), m_Dir.Path("fw"), m_Dir.Path("f.exe")}).Code, 0);

    // The share as Windows names it, and as a path that the system takes as it is.
    for (const std::string &folder :
         {"\\\\" + server + "\\share\\out\\x", "\\\\?\\UNC\\" + server + "\\share\\out\\y"}) {
        CliResult result = run_cli({"extract", m_Dir.Path("f.exe"), folder});
        EXPECT_EQ(result.Code, 0) << folder << ": " << result.Err;
        for (const char *name : IMAGE_ENTRY_NAMES)
            EXPECT_EQ(read_file(folder + "\\" + name), read_file(m_Dir.Path(std::string("fw/") + name)))
                << name;
    }
    std::error_code ignored;
    std::filesystem::remove_all(unix_share.parent_path(), ignored);
#endif
}

// An empty operand names no file: joined with an entry name it once sent extract's files to the root of
// the file system.
TEST_F(PackerTest, EmptyOperandsAreRefusedWithTheUsageLine) {
    write_small_firmware(m_Dir, "fw");
    write_file(m_Dir.Path("base"), {'B'});
    ASSERT_EQ(run_cli({"build", m_Dir.Path("base"), m_Dir.Path("fw"), m_Dir.Path("f.exe")}).Code, 0);
    const std::vector<std::string> before = m_Dir.Names();
    const std::string f = m_Dir.Path("f.exe"), fw = m_Dir.Path("fw"), out = m_Dir.Path("out");
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"extract", f, ""},
             {"extract", "", out},
             {"list", ""},
             {"verify", ""},
             {"build", "", fw, out},
             {"build", m_Dir.Path("base"), "", out},
             {"build", m_Dir.Path("base"), fw, ""},
             {"build", "--allow-incomplete", m_Dir.Path("base"), fw, "--", ""},
             {"create", "", f},
             {"create", out, ""}}) {
        CliResult result = run_cli(args);
        std::string what = args[0] + " with an empty operand";
        EXPECT_EQ(result.Code, 2) << what;
        EXPECT_TRUE(contains(result.Err, "an empty argument")) << what << ": " << result.Err;
        EXPECT_TRUE(contains(result.Err, "\nusage: tarnex-pack " + args[0] + " "))
            << what << ": " << result.Err;
        EXPECT_TRUE(result.Out.empty()) << what;
    }
    EXPECT_EQ(m_Dir.Names(), before);
}

TEST_F(PackerTest, EmptyDriverLibraryOrImageNeedsAllowIncomplete) {
    write_small_firmware(m_Dir, "fw");
    write_file(m_Dir.Path("base"), {'B'});
    for (const char *name : {"AdbWinApi.dll", "boot.img"}) {
        write_file(m_Dir.Path(std::string("fw/") + name), {});
        CliResult refused = run_cli({"build", m_Dir.Path("base"), m_Dir.Path("fw"), m_Dir.Path("f.exe")});
        EXPECT_EQ(refused.Code, 1) << name;
        EXPECT_TRUE(contains(refused.Err, std::string(name) + " (")) << refused.Err;
        EXPECT_TRUE(contains(refused.Err, "is empty")) << refused.Err;
        EXPECT_TRUE(contains(refused.Err, "--allow-incomplete")) << refused.Err;
        EXPECT_FALSE(std::filesystem::exists(m_Dir.Path("f.exe"))) << name;
    }
    CliResult built =
        run_cli({"build", "--allow-incomplete", m_Dir.Path("base"), m_Dir.Path("fw"), m_Dir.Path("f.exe")});
    ASSERT_EQ(built.Code, 0) << built.Err;
    EXPECT_TRUE(contains(built.Err, "warning: boot.img (")) << built.Err;

    CliResult list = run_cli({"list", m_Dir.Path("f.exe")});
    EXPECT_TRUE(contains(list.Out, "empty (a flasher takes them as absent): boot.img, AdbWinApi.dll"))
        << list.Out;
    EXPECT_TRUE(contains(list.Out, "driver library AdbWinApi.dll: empty")) << list.Out;
    CliResult verify = run_cli({"verify", m_Dir.Path("f.exe")});
    EXPECT_EQ(verify.Code, 0);
    EXPECT_TRUE(contains(verify.Out, "note: boot.img is empty; a flasher skips it")) << verify.Out;
    EXPECT_TRUE(contains(verify.Out, "note: AdbWinApi.dll is empty; a flasher made of this cannot start"))
        << verify.Out;
}

// Nothing marks a package, so the format can tell only this much: a trailer that describes no package
// means there is none; a checksum that does not match means damage, or a file that never had one.
TEST_F(PackerTest, ListAndVerifyTellAMissingPackageFromADamagedOne) {
    std::vector<uint8_t> good = pack_flasher_bytes(bytes_of("base"), {{"boot.img", {1, 2, 3}}});
    std::vector<uint8_t> flipped = good;
    flipped[5] ^= 0x10;
    std::vector<uint8_t> no_terminator = bytes_of("base record");
    pack_append_trailer(&no_terminator, 4); // a checksum that matches over a body that is no package
    std::vector<uint8_t> long_trailer = bytes_of("some program bytes");
    long_trailer.insert(long_trailer.end(), {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0});
    const struct {
        const char *Name;
        std::vector<uint8_t> Bytes;
        const char *Finding;
    } cases[] = {
        {"short", bytes_of("MZ"), "carries no package: it is shorter than a package trailer"},
        {"long-trailer", long_trailer, "carries no package: its last 8 bytes give a package length"},
        {"flipped", flipped, "is damaged, or not a package: the checksum"},
        {"no-terminator", no_terminator, "is damaged: the checksum matches"},
    };
    for (const auto &c : cases) {
        write_file(m_Dir.Path(c.Name), c.Bytes);
        CliResult list = run_cli({"list", m_Dir.Path(c.Name)});
        EXPECT_EQ(list.Code, 1) << c.Name;
        EXPECT_TRUE(contains(list.Err, m_Dir.Path(c.Name) + " " + c.Finding)) << list.Err;
        CliResult verify = run_cli({"verify", m_Dir.Path(c.Name)});
        EXPECT_EQ(verify.Code, 1) << c.Name;
        EXPECT_TRUE(contains(verify.Out, c.Finding)) << verify.Out;
        EXPECT_TRUE(contains(verify.Out, "verdict: This file has been destroyed!\n")) << verify.Out;
    }
    write_file(m_Dir.Path("empty"), {});
    CliResult list = run_cli({"list", m_Dir.Path("empty")});
    EXPECT_TRUE(contains(list.Err, "is empty and carries no package")) << list.Err;
    CliResult verify = run_cli({"verify", m_Dir.Path("empty")});
    EXPECT_TRUE(contains(verify.Out, "is empty and carries no package")) << verify.Out;
    EXPECT_TRUE(contains(verify.Out, "verdict: Open image failed")) << verify.Out;
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
