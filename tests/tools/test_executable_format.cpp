// The executable format reader and the packer's check that a flasher's base can load its driver
// library, against real programs and libraries of both Windows architectures (built for the tests with
// the cross compilers) and, natively, the ELF flasher and simulated phone of this build.
#include "tools/executable_format.h"

#include <gtest/gtest.h>

#include "os/os_api.h"
#include "tests/tools/pack_test.h"
#include "tools/packer.h"

namespace {

// A file next to the test program, where the build puts the tiny modules and the libraries.
std::string beside_test(const char *name) {
    std::string self;
    if (!g_OsApi.executable_path(&self))
        return name;
    return os_join_path(self.substr(0, self.find_last_of("/\\")), name);
}

ExecutableInfo info_of(const std::string &path) {
    std::vector<uint8_t> bytes = read_file(path);
    return read_executable_info(bytes.data(), bytes.size());
}

class DriverArchitecture : public ::testing::Test {
protected:
    void SetUp() override {
#ifndef TARNEX_TINY_MODULES
        GTEST_SKIP() << "no x86 and x64 modules: the MinGW-w64 C compilers were not found "
                        "(scripts/install-deps.sh installs them)";
#endif
        write_small_firmware(m_Dir, "fw");
    }

    // tarnex-pack build with BASE and DRIVER as "AdbWinApi.dll"; OPTION when not empty.
    CliResult Build(const std::string &base, const std::string &driver, const std::string &option = "") {
        write_file(m_Dir.Path("fw/AdbWinApi.dll"), read_file(driver));
        std::vector<std::string> args = {"build"};
        if (!option.empty())
            args.push_back(option);
        args.insert(args.end(), {base, m_Dir.Path("fw"), m_Dir.Path("f.exe")});
        return run_cli(args);
    }

    TempDir m_Dir;
    const std::string m_X86Dll = beside_test("tiny-x86.dll"), m_X86Exe = beside_test("tiny-x86.exe");
    const std::string m_X64Dll = beside_test("tiny-x64.dll"), m_X64Exe = beside_test("tiny-x64.exe");
};

} // namespace

TEST(ExecutableFormat, HeadersCutShortOrMalformedAreUnknown) {
    // A minimal PE32+ header: MZ stub pointing at 0x40, "PE\0\0", COFF (machine x64, DLL), magic 0x20B.
    std::vector<uint8_t> pe(0x40 + 24 + 2, 0);
    pe[0] = 'M', pe[1] = 'Z', pe[0x3C] = 0x40;
    pe[0x40] = 'P', pe[0x41] = 'E';
    pe[0x44] = 0x64, pe[0x45] = 0x86; // Machine
    pe[0x54] = 0xF0;                  // SizeOfOptionalHeader
    pe[0x57] = 0x20;                  // Characteristics: IMAGE_FILE_DLL
    pe[0x58] = 0x0B, pe[0x59] = 0x02; // optional header magic
    ExecutableInfo full = read_executable_info(pe.data(), pe.size());
    EXPECT_EQ(full.Format, EXECUTABLE_PE);
    EXPECT_EQ(full.Machine, PE_MACHINE_AMD64);
    EXPECT_EQ(full.Bits, 64u);
    EXPECT_TRUE(full.Library);
    // Every shorter prefix is unknown, never a different answer (and ASan sees no read past it).
    for (size_t n = 0; n < pe.size(); n++) {
        std::vector<uint8_t> cut(pe.begin(), pe.begin() + n);
        EXPECT_EQ(read_executable_info(cut.data(), cut.size()).Format, EXECUTABLE_UNKNOWN) << n;
    }
    EXPECT_EQ(read_executable_info(nullptr, 0).Format, EXECUTABLE_UNKNOWN);

    std::vector<uint8_t> bad = pe;
    bad[0x3C] = 0xF0, bad[0x3D] = 0xFF, bad[0x3E] = 0xFF, bad[0x3F] = 0xFF; // e_lfanew near 4 GiB
    EXPECT_EQ(read_executable_info(bad.data(), bad.size()).Format, EXECUTABLE_UNKNOWN);
    bad = pe;
    bad[0x54] = 0; // no optional header: an object file, not an image
    EXPECT_EQ(read_executable_info(bad.data(), bad.size()).Format, EXECUTABLE_UNKNOWN);
    bad = pe;
    bad[0x58] = 0x07; // neither PE32 nor PE32+
    EXPECT_EQ(read_executable_info(bad.data(), bad.size()).Format, EXECUTABLE_UNKNOWN);

    // ELF: class, byte order and e_machine in that byte order; a big-endian 32-bit ARM object here.
    std::vector<uint8_t> elf = {0x7F, 'E', 'L', 'F', 1, 2, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 40};
    ExecutableInfo arm = read_executable_info(elf.data(), elf.size());
    EXPECT_EQ(arm.Format, EXECUTABLE_ELF);
    EXPECT_EQ(arm.Machine, ELF_MACHINE_ARM);
    EXPECT_EQ(arm.Bits, 32u);
    EXPECT_TRUE(arm.Library); // a shared object whose program headers are not at hand
    EXPECT_EQ(executable_description(arm), "a 32-bit (ARM) Linux library");
    elf[4] = 3; // no such class
    EXPECT_EQ(read_executable_info(elf.data(), elf.size()).Format, EXECUTABLE_UNKNOWN);
    elf.pop_back();
    EXPECT_EQ(read_executable_info(elf.data(), elf.size()).Format, EXECUTABLE_UNKNOWN);
}

TEST_F(DriverArchitecture, BuildRefusesEitherMismatchAndAcceptsEitherMatch) {
    CliResult result = Build(m_X64Exe, m_X86Dll);
    EXPECT_EQ(result.Code, 1);
    EXPECT_EQ(result.Err,
              "tarnex-pack: AdbWinApi.dll is a 32-bit (x86) library and tiny-x64.exe a 64-bit (x64) "
              "program, which cannot load it: build with the x86 base executable, or carry a 64-bit "
              "(x64) Windows driver library\n");
    result = Build(m_X86Exe, m_X64Dll);
    EXPECT_EQ(result.Code, 1);
    EXPECT_TRUE(contains(result.Err,
                         "AdbWinApi.dll is a 64-bit (x64) library and tiny-x86.exe a 32-bit (x86) "
                         "program, which cannot load it: build with the x64 base executable"))
        << result.Err;
    EXPECT_EQ(m_Dir.Names(), std::vector<std::string>{"fw"}); // nothing written

    for (const auto &[base, driver] : {std::pair{m_X86Exe, m_X86Dll}, std::pair{m_X64Exe, m_X64Dll}}) {
        result = Build(base, driver);
        EXPECT_EQ(result.Code, 0) << result.Err;
        EXPECT_TRUE(result.Err.empty()) << result.Err;
        ExecutableInfo info = info_of(driver);
        EXPECT_TRUE(contains(result.Out, "driver library: " + executable_description(info))) << result.Out;
    }

    // A library that is no executable at all, and a program where a library belongs.
    write_file(m_Dir.Path("text.dll"), bytes_of("not a library"));
    result = Build(m_X64Exe, m_Dir.Path("text.dll"));
    EXPECT_EQ(result.Code, 1);
    EXPECT_TRUE(contains(result.Err, "AdbWinApi.dll is not an executable of a known format, and tiny-x64.exe "
                                     "is a 64-bit (x64) Windows program, which cannot load it"))
        << result.Err;
    result = Build(m_X64Exe, m_X64Exe);
    EXPECT_EQ(result.Code, 0) << result.Err;
    EXPECT_TRUE(contains(result.Err, "warning: AdbWinApi.dll (")) << result.Err;
    EXPECT_TRUE(contains(result.Err, "is a 64-bit (x64) Windows program, not a library")) << result.Err;
}

// A 32-bit flasher holds its whole file in its address space and cannot start with a file of 1 GiB or
// more; a 64-bit one can. build refuses such a flasher, and verify rejects one made some other way, as
// the flasher itself would ("Open image failed"), without reading it.
TEST_F(DriverArchitecture, AnX86FlasherOf1GiBOrMoreIsRefusedAndRejected) {
    const uint64_t limit = uint64_t(1) << 30;
    const ExecutableInfo x86 = info_of(m_X86Exe), x64 = info_of(m_X64Exe);
    EXPECT_EQ(pack_flasher_size_text(x86, limit - 1), "");
    EXPECT_NE(pack_flasher_size_text(x86, limit), "");
    EXPECT_EQ(pack_flasher_size_text(x64, 3 * limit), "");

    // An image that takes the flasher just past the limit (sparse: nothing is read before the refusal).
    std::filesystem::resize_file(m_Dir.Path("fw/system.img"), limit - 1000);
    CliResult result = Build(m_X86Exe, m_X86Dll);
    EXPECT_EQ(result.Code, 1);
    EXPECT_TRUE(contains(result.Err, "tarnex-pack: the output would be a 32-bit (x86) flasher of "))
        << result.Err;
    EXPECT_TRUE(contains(result.Err, "bytes, which cannot start: it holds its whole file in its 2 GiB of "
                                     "address space"))
        << result.Err;
    EXPECT_TRUE(contains(result.Err, "build with the 64-bit base executable")) << result.Err;
    EXPECT_EQ(m_Dir.Names(), std::vector<std::string>{"fw"}); // nothing written

    // The x86 base, then 1 GiB of nothing, then an intact package.
    const std::string flasher = m_Dir.Path("big.exe");
    write_file(flasher, read_file(m_X86Exe));
    std::filesystem::resize_file(flasher, limit);
    const std::vector<uint8_t> payload = pack_payload({{"DeviceList.dat", demo_device_list()}});
    FILE *file = fopen(flasher.c_str(), "ab");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(fwrite(payload.data(), 1, payload.size(), file), payload.size());
    ASSERT_EQ(fclose(file), 0);
    result = run_cli({"verify", flasher});
    EXPECT_EQ(result.Code, 1);
    EXPECT_TRUE(contains(result.Out, flasher + " is a 32-bit (x86) flasher of " +
                                         std::to_string(limit + payload.size()) +
                                         " bytes, which cannot start"))
        << result.Out;
    EXPECT_TRUE(contains(result.Out, "verdict: Open image failed\n")) << result.Out;
}

#ifdef TARNEX_NATIVE_FLASHER
TEST_F(DriverArchitecture, LinuxAndWindowsModulesDoNotMix) {
    // The flasher is position-independent, a shared object by its ELF type: it names an interpreter,
    // which tells it from a library.
    const std::string flasher = beside_test(TARNEX_NATIVE_FLASHER), sim = beside_test(TARNEX_NATIVE_SIM);
    CliResult result = Build(flasher, sim);
    EXPECT_EQ(result.Code, 0) << result.Err;
    result = Build(flasher, m_X64Dll);
    EXPECT_EQ(result.Code, 1);
    EXPECT_TRUE(contains(result.Err,
                         "AdbWinApi.dll is a 64-bit (x64) Windows library and " TARNEX_NATIVE_FLASHER
                         " a 64-bit (x86-64) Linux program, which cannot load it: carry a 64-bit "
                         "(x86-64) Linux driver library as AdbWinApi.dll"))
        << result.Err;
    result = Build(m_X64Exe, sim);
    EXPECT_EQ(result.Code, 1);
    EXPECT_TRUE(contains(result.Err, "AdbWinApi.dll is a 64-bit (x86-64) Linux library and tiny-x64.exe a "
                                     "64-bit (x64) Windows program"))
        << result.Err;
}
#endif

TEST_F(DriverArchitecture, StandInBasesAreNotCheckedAndAnyDriverBuildsAMismatch) {
    write_file(m_Dir.Path("stand-in"), bytes_of("MZ a stand-in base, not a program"));
    CliResult result = Build(m_Dir.Path("stand-in"), m_X86Dll);
    EXPECT_EQ(result.Code, 0) << result.Err;
    EXPECT_TRUE(contains(result.Err,
                         "warning: stand-in is neither a Windows (PE) nor a Linux (ELF) executable, "
                         "so the architecture of the driver library is not checked"))
        << result.Err;

    result = Build(m_X64Exe, m_X86Dll, "--any-driver");
    EXPECT_EQ(result.Code, 0) << result.Err;
    EXPECT_TRUE(contains(result.Err, "warning: AdbWinApi.dll is a 32-bit (x86) library")) << result.Err;
    EXPECT_TRUE(contains(result.Err, "(built anyway: --any-driver)")) << result.Err;

    // What was built says so: both list and verify name the formats and architectures, and the mismatch.
    for (const char *command : {"list", "verify"}) {
        result = run_cli({command, m_Dir.Path("f.exe")});
        EXPECT_EQ(result.Code, 0) << command << ": " << result.Err;
        EXPECT_TRUE(contains(result.Out, "base executable: Windows (PE32+), 64-bit (x64) program\n"))
            << result.Out;
        EXPECT_TRUE(
            contains(result.Out, "driver library AdbWinApi.dll: Windows (PE32), 32-bit (x86) library\n"))
            << result.Out;
        EXPECT_TRUE(contains(result.Out,
                             "note: AdbWinApi.dll is a 32-bit (x86) library and f.exe a 64-bit (x64) "
                             "program, which cannot load it"))
            << result.Out;
    }
}
