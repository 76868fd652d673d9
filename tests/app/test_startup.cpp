// Start-up as only a test inside the process can make it fail: no file at all, a library file that
// cannot be created or written whole, a path too long, no TEMP, and a stale library in a shared folder.
// (Every failure an operator can meet is an end-to-end scenario of tests/e2e.)
#include "app_fixture.h"

#include "app/driver_library.h"

#include <cerrno>

namespace {

class Startup : public AppFixture {
protected:
    void ExpectFailure(const char *text) {
        Launch();
        OperatorMessageBox box = AnswerStartupFailure();
        EXPECT_EQ(box.text, text);
        EXPECT_EQ(fe.requested_exit(), 1);
        EXPECT_TRUE(TempNames().empty()) << "nothing left in the temporary directory";
    }
};

} // namespace

TEST_F(Startup, ProgramFileThatCannotBeOpenedIsOpenImageFailed) {
    fe.launch({"flasher", {}, "device phone\n", {}});
    EXPECT_EQ(AnswerStartupFailure().text, IMAGE_OPEN_FAILED_TEXT);
    EXPECT_EQ(fe.requested_exit(), 1);
}

TEST_F(Startup, LibraryFileThatCannotBeCreatedFailsWhateverTheLastErrorSays) {
    WritePayload(firmware());
    // "Already exists" is what a failed open-or-create reports for a file that is there but locked.
    g_OsApi.file_create = [](const char *) {
        g_OsApi.set_last_error(EEXIST);
        return OS_INVALID_FILE;
    };
    ExpectFailure(STARTUP_DEPLOY_TEXT);
}

TEST_F(Startup, LibraryWrittenOnlyInPartIsFailureAndDeleted) {
    WritePayload(firmware());
    g_OsApi.file_write = [](OsFile file, const void *data, size_t size) {
        os_platform_api().file_write(file, data, size / 2);
        g_OsApi.set_last_error(ENOSPC);
        return false;
    };
    ExpectFailure(STARTUP_DEPLOY_TEXT);
}

TEST_F(Startup, LibraryPathLongerThanItsBufferIsRefused) {
    WritePayload(firmware());
    std::string deep = (fe.work() / "temp").string();
    while (deep.size() < 300)
        deep += "/a-rather-long-folder-name";
    std::filesystem::create_directories(deep);
    fe.launch({"flasher", m_flasher, "device phone\n", deep});
    EXPECT_EQ(AnswerStartupFailure().text, STARTUP_DEPLOY_TEXT);
    EXPECT_EQ(fe.requested_exit(), 1);
    EXPECT_TRUE(std::filesystem::is_empty(deep)) << "the private directory made there is gone again";
}

TEST_F(Startup, WithoutTempTheSystemTemporaryDirectoryServesAndIsCleanedUp) {
    WritePayload(firmware());
    const char *tmpdir = getenv("TMPDIR");
    const std::string saved = tmpdir != nullptr ? tmpdir : "";
    unsetenv("TMPDIR");
    fe.set_temp = false;
    Start();
    if (!saved.empty())
        setenv("TMPDIR", saved.c_str(), 1);
    std::string path;
    ASSERT_TRUE(driver_library_path(&path));
    EXPECT_EQ(path.rfind("/tmp/tarnex-", 0), 0u) << path;
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
    EndRun();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(path).parent_path()));
}

TEST_F(Startup, StaleLongerLibraryIsReplacedWhole) {
    WritePayload(firmware());
    // A directory shared between runs, as %TEMP% is, holding a longer library from an earlier one.
    static std::string s_shared;
    s_shared = (fe.work() / "shared").string();
    std::filesystem::create_directories(s_shared);
    std::vector<uint8_t> stale = HeadlessFrontEnd::library_bytes(TARNEX_SIM_FILE);
    stale.resize(stale.size() + 100000, 0xCC);
    write_file(s_shared + "/AdbWinApi.dll", stale);
    g_OsApi.create_private_directory = [](std::string *path) {
        *path = s_shared;
        return true;
    };
    Start();
    EXPECT_EQ(read_file(s_shared + "/AdbWinApi.dll"), HeadlessFrontEnd::library_bytes(TARNEX_SIM_FILE));
    ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT)) << "and the library works";
}
