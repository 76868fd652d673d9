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

// Nothing to write is no reason to try another directory.
TEST_F(Startup, PackageWithoutTheLibraryIsNotFindAtOnce) {
    WritePayload(without(firmware(), "AdbWinApi.dll"));
    ExpectFailure(STARTUP_DEPLOY_TEXT);
    const std::string errors = fe.errors();
    EXPECT_NE(errors.find("AdbWinApi.dll: the package carries none\n"), std::string::npos) << errors;
    EXPECT_EQ(errors.find("trying"), std::string::npos) << errors;
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
    static std::string deep;
    deep = (fe.work() / "temp").string();
    while (deep.size() < 300)
        deep += "/a-rather-long-folder-name";
    std::filesystem::create_directories(deep);
    // No other temporary directory to move on to, as on Windows.
    g_OsApi.temp_directories = [](std::vector<std::string> *paths) {
        *paths = {deep};
        return true;
    };
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

// A TEMP that cannot take the library (it does not exist, or is a file) is passed over for the next
// temporary directory, as one mounted noexec is; standard error says which and why.
TEST_F(Startup, TempThatCannotTakeTheLibraryIsPassedOverForTheNext) {
    WritePayload(firmware());
    const std::filesystem::path next = fe.work() / "next", file = fe.work() / "a-file";
    std::filesystem::create_directories(next);
    write_file(file.string(), {1});
    struct TmpdirBack {
        const char *set = getenv("TMPDIR");
        const std::string saved = set != nullptr ? set : "";
        ~TmpdirBack() { set != nullptr ? setenv("TMPDIR", saved.c_str(), 1) : unsetenv("TMPDIR"); }
    } back;
    setenv("TMPDIR", next.c_str(), 1);
    for (const std::filesystem::path &temp : {fe.work() / "missing" / "temp", file}) {
        fe.launch({"flasher", m_flasher, "device phone\n", temp});
        ASSERT_TRUE(fe.op().wait_window(IDD_TARNEX_DIALOG, WAIT_MS)) << temp << ":\n" << fe.errors();
        window = fe.window();
        std::string path;
        ASSERT_TRUE(driver_library_path(&path));
        EXPECT_EQ(path.rfind(next.string() + "/tarnex-", 0), 0u) << path;
        const std::string errors = fe.errors();
        EXPECT_NE(errors.find("AdbWinApi.dll: cannot write it under " + temp.string() + ": "),
                  std::string::npos)
            << errors;
        EXPECT_NE(errors.find("; trying " + next.string() + "\n"), std::string::npos) << errors;
        ASSERT_TRUE(WaitStatus(STATUS_READY_TEXT));
        EndRun();
        EXPECT_TRUE(std::filesystem::is_empty(next))
            << "the library and its directory are removed at the end";
    }
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
