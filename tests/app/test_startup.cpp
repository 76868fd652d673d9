// Start-up and shut-down: each start-up failure with its one message box and exit code 1, and the driver
// library written, replaced, refused and removed.
#include "app_fixture.h"

#include <cerrno>

namespace {

struct FailureCase {
    const char *name;
    const char *text;
    std::vector<uint8_t> (*payload)(); // empty: no payload file at all
};

std::vector<uint8_t> flasher(const std::vector<PackBlob> &entries) {
    return pack_flasher_bytes(bytes_of("MZ stand-in base executable"), entries);
}

std::vector<PackBlob> with_driver(std::vector<uint8_t> library) {
    std::vector<PackBlob> blobs = without(firmware(), "AdbWinApi.dll");
    blobs.push_back({"AdbWinApi.dll", std::move(library)});
    return blobs;
}

const FailureCase FAILURES[] = {
    {"NoFile", "Open image failed", [] { return std::vector<uint8_t>(); }},
    {"NoPackage", "This file has been destroyed!",
     [] { return bytes_of("just an executable, nothing appended"); }},
    {"NoDeviceList", "Init device list failed!",
     [] { return flasher(without(firmware(), "DeviceList.dat")); }},
    {"EmptyDeviceList", "Init device list failed!",
     [] {
         std::vector<PackBlob> blobs = without(firmware(), "DeviceList.dat");
         blobs.push_back({"DeviceList.dat", {}});
         return flasher(blobs);
     }},
    {"NoDriverLibrary", "AdbWinApi.dll not find",
     [] { return flasher(without(firmware(), "AdbWinApi.dll")); }},
    {"DriverLibraryThatDoesNotLoad", "Load AdbWinApi.dll failed",
     [] { return flasher(with_driver(bytes_of("not a library at all"))); }},
    {"DriverLibraryWithoutAnExport", "Load AdbWinApi.dll failed",
     [] { return flasher(with_driver(library_bytes(TARNEX_PARTIAL_DRIVER_FILE))); }},
};

class FailedStartup : public AppFixture, public ::testing::WithParamInterface<FailureCase> {};

class Startup : public AppFixture {
protected:
    void ExpectFailure(const char *text) {
        Launch();
        HeadlessMessageBox box = AnswerStartupFailure();
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(s_exit_code, 1);
        EXPECT_TRUE(names_in(m_temp).empty()) << "nothing left in the temporary directory";
    }
};

} // namespace

TEST_P(FailedStartup, OneMessageBoxThenExitCodeOneAndNothingLeftBehind) {
    std::vector<uint8_t> payload = GetParam().payload();
    if (!payload.empty())
        write_file(s_payload, payload);
    Launch();
    HeadlessMessageBox box = AnswerStartupFailure();
    EXPECT_EQ(box.text, GetParam().text);
    EXPECT_EQ(box.caption, "flasher") << "the executable's name without its extension";
    EXPECT_EQ(box.type, MB_OK | MB_ICONEXCLAMATION);
    EXPECT_EQ(headless_message_box_history().size(), 1u);
    EXPECT_EQ(s_exit_code, 1);
    EXPECT_TRUE(names_in(m_temp).empty()) << "nothing left in the temporary directory";
}

INSTANTIATE_TEST_SUITE_P(Each, FailedStartup, ::testing::ValuesIn(FAILURES),
                         [](const ::testing::TestParamInfo<FailureCase> &param) { return param.param.name; });

TEST_F(Startup, LibraryFileThatCannotBeCreatedFailsWhateverTheLastErrorSays) {
    WritePayload(firmware());
    // "Already exists" is what a failed open-or-create reports for a file that is there but locked.
    g_OsApi.file_create = [](const char *) {
        g_OsApi.set_last_error(EEXIST);
        return OS_INVALID_FILE;
    };
    ExpectFailure("AdbWinApi.dll not find");
}

TEST_F(Startup, LibraryWrittenOnlyInPartIsFailureAndDeleted) {
    WritePayload(firmware());
    g_OsApi.file_write = [](OsFile file, const void *data, size_t size) {
        os_platform_api().file_write(file, data, size / 2);
        g_OsApi.set_last_error(ENOSPC);
        return false;
    };
    ExpectFailure("AdbWinApi.dll not find");
}

TEST_F(Startup, LibraryPathLongerThanItsBufferIsRefused) {
    WritePayload(firmware());
    std::string deep = m_temp;
    while (deep.size() < 300)
        deep += "/a-rather-long-folder-name";
    std::filesystem::create_directories(deep);
    setenv("TEMP", deep.c_str(), 1);
    Launch();
    EXPECT_EQ(AnswerStartupFailure().text, "AdbWinApi.dll not find");
    EXPECT_EQ(s_exit_code, 1);
    EXPECT_TRUE(names_in(deep).empty()) << "the private directory made there is gone again";
}

TEST_F(Startup, WithoutTempTheSystemTemporaryDirectoryServesAndIsCleanedUp) {
    WritePayload(firmware());
    unsetenv("TEMP");
    const char *tmpdir = getenv("TMPDIR");
    std::string saved = tmpdir != nullptr ? tmpdir : "";
    unsetenv("TMPDIR");
    Start();
    if (!saved.empty())
        setenv("TMPDIR", saved.c_str(), 1);
    EXPECT_EQ(m_libraryPath.rfind("/tmp/tarnex-", 0), 0u) << m_libraryPath;
    ASSERT_TRUE(WaitStatus("Ready"));
    Finish();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(m_libraryPath).parent_path()));
}

TEST_F(Startup, StaleLongerLibraryIsReplacedWhole) {
    WritePayload(firmware());
    // A directory shared between runs, as %TEMP% is, holding a longer library from an earlier one.
    static std::string s_shared;
    s_shared = m_dir.Path("shared");
    std::filesystem::create_directories(s_shared);
    std::vector<uint8_t> stale = library_bytes(TARNEX_SIM_FILE);
    stale.resize(stale.size() + 100000, 0xCC);
    write_file(s_shared + "/AdbWinApi.dll", stale);
    g_OsApi.create_private_directory = [](std::string *path) {
        *path = s_shared;
        return true;
    };
    Start();
    EXPECT_EQ(read_file(m_libraryPath), library_bytes(TARNEX_SIM_FILE));
    ASSERT_TRUE(WaitStatus("Ready")) << "and the library works";
}
