// OS services, run natively and, for the Windows implementation, under Wine.
#include "os/os_api.h"

#include "os/file_system.h"
#include "tests/support/test_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <atomic>
#include <cstdlib>
#include <future>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <stdlib.h>
#include <sys/stat.h>
#endif

namespace {

void set_env(const char *name, const char *value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name, value);
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

// The value of an environment variable; false when it is not set.
bool get_env(const char *name, std::string *value) {
#ifdef _WIN32
    char buffer[32768];
    DWORD n = GetEnvironmentVariableA(name, buffer, sizeof buffer);
    if (n == 0 || n >= sizeof buffer)
        return false;
    value->assign(buffer, n);
#else
    const char *set = getenv(name);
    if (set == nullptr)
        return false;
    *value = set;
#endif
    return true;
}

// Puts an environment variable back as it was when the test began.
class SavedEnv {
public:
    explicit SavedEnv(const char *name) : m_name(name), m_set(get_env(name, &m_value)) {}
    ~SavedEnv() { set_env(m_name, m_set ? m_value.c_str() : nullptr); }

private:
    const char *m_name;
    std::string m_value; // before m_set, which fills it
    bool m_set;
};

// A scratch folder of its own per test; on Windows, where the private directory is the shared
// temporary one, files get names unique to the process and test.
class OsFiles : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(g_OsApi.create_private_directory(&directory));
        prefix = std::to_string(++counter) + "-" + std::to_string(reinterpret_cast<uintptr_t>(this));
    }
    void TearDown() override {
        for (const std::string &path : created)
            g_OsApi.file_delete(path.c_str());
        g_OsApi.remove_private_directory(directory.c_str());
        g_OsApi = os_platform_api();
    }
    std::string path(const char *name) {
        std::string full = os_join_path(directory, (prefix + name).c_str());
        created.push_back(full);
        return full;
    }

    std::string directory;
    std::string prefix;
    std::vector<std::string> created;
    static inline int counter = 0;
};

} // namespace

// --- Paths

TEST(OsPaths, ExecutablePathNamesThisProgram) {
    std::string path;
    ASSERT_TRUE(g_OsApi.executable_path(&path));
#ifdef _WIN32
    EXPECT_TRUE(path.ends_with("\\test_os.exe")) << path;
#else
    EXPECT_TRUE(path.ends_with("/test_os")) << path;
#endif
    EXPECT_TRUE(std::filesystem::exists(path)) << path;
}

TEST(OsPaths, TemporaryDirectoryComesFromTheEnvironment) {
    SavedEnv temp("TEMP"), tmpdir("TMPDIR");
    std::string directory;
#ifdef _WIN32
    set_env("TEMP", "C:\\tarnex-temp\\");
    ASSERT_TRUE(g_OsApi.temp_directory(&directory));
    EXPECT_EQ(directory, "C:\\tarnex-temp");
    // Without TEMP the system's temporary path stands in, never an empty or garbage path.
    set_env("TEMP", nullptr);
    ASSERT_TRUE(g_OsApi.temp_directory(&directory));
    EXPECT_FALSE(directory.empty());
    EXPECT_NE(directory.back(), '\\');
#else
    set_env("TEMP", "/srv/temp-a/");
    set_env("TMPDIR", "/srv/temp-b");
    ASSERT_TRUE(g_OsApi.temp_directory(&directory));
    EXPECT_EQ(directory, "/srv/temp-a");
    set_env("TEMP", "");
    ASSERT_TRUE(g_OsApi.temp_directory(&directory));
    EXPECT_EQ(directory, "/srv/temp-b");
    set_env("TEMP", nullptr);
    set_env("TMPDIR", nullptr);
    ASSERT_TRUE(g_OsApi.temp_directory(&directory));
    EXPECT_EQ(directory, "/tmp");
#endif
}

#ifndef _WIN32
// The candidates a driver library may be deployed under when the temporary directory allows no code:
// the same first one, then the others in order, each once.
TEST(OsPaths, TemporaryDirectoriesStartWithTheTemporaryDirectoryAndNameEachOnce) {
    SavedEnv temp("TEMP"), tmpdir("TMPDIR");
    set_env("TEMP", "/srv/temp-a/");
    set_env("TMPDIR", "/tmp/");
    std::vector<std::string> directories;
    ASSERT_TRUE(g_OsApi.temp_directories(&directories));
    EXPECT_EQ(directories, (std::vector<std::string>{"/srv/temp-a", "/tmp", "/var/tmp"}));
    set_env("TEMP", nullptr);
    set_env("TMPDIR", nullptr);
    ASSERT_TRUE(g_OsApi.temp_directories(&directories));
    EXPECT_EQ(directories, (std::vector<std::string>{"/tmp", "/var/tmp"}));
    // (A noexec file system is tested for real in tests/app/test_noexec.cpp.)
    EXPECT_TRUE(g_OsApi.allows_execution(std::filesystem::current_path().c_str()));
}

TEST(OsPaths, PrivateDirectoriesAreNewOwnerOnlyAndRemovable) {
    std::string first, second, temp;
    ASSERT_TRUE(g_OsApi.temp_directory(&temp));
    ASSERT_TRUE(g_OsApi.create_private_directory(&first));
    ASSERT_TRUE(g_OsApi.create_private_directory(&second));
    EXPECT_NE(first, second);
    EXPECT_EQ(first.rfind(temp + "/", 0), 0u) << first;
    struct stat info;
    ASSERT_EQ(stat(first.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(g_OsApi.remove_private_directory(first.c_str()));
    EXPECT_TRUE(g_OsApi.remove_private_directory(second.c_str()));
    EXPECT_NE(stat(first.c_str(), &info), 0);
}

TEST(OsPaths, PrivateDirectoryFailsWhenTheTemporaryDirectoryIsMissing) {
    SavedEnv temp("TEMP");
    set_env("TEMP", "/nonexistent/tarnex");
    std::string directory;
    EXPECT_FALSE(g_OsApi.create_private_directory(&directory));
    EXPECT_EQ(g_OsApi.get_last_error(), static_cast<uint32_t>(ENOENT));
}
#endif

// The root of a path is never created: a folder is made below it, one level after the other.
TEST(OsPaths, TheRootOfAPathIsItsDriveShareOrSlash) {
#ifdef _WIN32
    const std::pair<const char *, const char *> roots[] = {
        {"C:\\a\\b", "C:\\"},
        {"C:a", "C:"},
        {"\\a", "\\"},
        {"\\\\server\\share\\a\\b", "\\\\server\\share\\"},
        {"//server/share", "//server/share"},
        {"\\\\?\\C:\\a", "\\\\?\\C:\\"},
        {"\\\\?\\UNC\\server\\share\\a", "\\\\?\\UNC\\server\\share\\"},
        {"\\\\?\\Volume{0123}\\a", "\\\\?\\Volume{0123}\\"},
        {"a\\b", ""},
    };
#else
    const std::pair<const char *, const char *> roots[] = {{"/a/b", "/"}, {"//a", "//"}, {"a/b", ""}};
#endif
    for (const auto &[path, root] : roots)
        EXPECT_EQ(std::string(path, file_root_length(path)), root) << path;
}

// --- Files

TEST_F(OsFiles, WrittenFileReadsBackAndRecreatingTruncates) {
    std::string file_path = path("data.bin");
    std::string long_content(10000, 'x');
    ASSERT_TRUE(os_write_whole_file(file_path.c_str(), long_content.data(), long_content.size()));
    EXPECT_EQ(read_file(file_path), bytes_of(long_content));

    // A shorter file written over a longer one must not keep the old tail: a stale tail after a
    // library would be loaded as part of it.
    OsFile file = g_OsApi.file_create(file_path.c_str());
    ASSERT_NE(file, OS_INVALID_FILE);
    EXPECT_TRUE(g_OsApi.file_write(file, "short", 5));
    EXPECT_TRUE(g_OsApi.file_write(file, "", 0));
    EXPECT_TRUE(g_OsApi.file_close(file));
    EXPECT_EQ(read_file(file_path), bytes_of("short"));

    EXPECT_TRUE(g_OsApi.file_delete(file_path.c_str()));
    EXPECT_FALSE(std::filesystem::exists(file_path));
    EXPECT_FALSE(g_OsApi.file_delete(file_path.c_str()));
    EXPECT_NE(g_OsApi.get_last_error(), 0u);
}

TEST_F(OsFiles, CreatingInAMissingDirectoryFailsWithTheSystemsError) {
    std::string missing = os_join_path(os_join_path(directory, "no-such-folder"), "file.bin");
    g_OsApi.set_last_error(0);
    EXPECT_EQ(g_OsApi.file_create(missing.c_str()), OS_INVALID_FILE);
#ifdef _WIN32
    EXPECT_EQ(g_OsApi.get_last_error(), static_cast<uint32_t>(ERROR_PATH_NOT_FOUND));
#else
    EXPECT_EQ(g_OsApi.get_last_error(), static_cast<uint32_t>(ENOENT));
#endif
    EXPECT_FALSE(os_write_whole_file(missing.c_str(), "x", 1));
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST_F(OsFiles, FailedWholeFileWriteLeavesNoFileAndKeepsTheWriteError) {
    std::string file_path = path("partial.bin");
    g_OsApi.file_write = [](OsFile file, const void *data, size_t) {
        os_platform_api().file_write(file, data, 3); // some bytes reach the disk, then the disk fills
        g_OsApi.set_last_error(1234);
        return false;
    };
    EXPECT_FALSE(os_write_whole_file(file_path.c_str(), "abcdef", 6));
    EXPECT_EQ(g_OsApi.get_last_error(), 1234u);
    EXPECT_FALSE(std::filesystem::exists(file_path));
}

// --- Libraries

TEST(OsLibraries, LoadedLibraryExportsAreCallableAndMissingOnesAreNull) {
    std::string self;
    ASSERT_TRUE(g_OsApi.executable_path(&self));
    std::string directory = self.substr(0, self.find_last_of("/\\"));
    std::string library_path = os_join_path(directory, OS_TEST_LIBRARY_NAME);

    std::string error;
    OsLibrary library = g_OsApi.library_load(library_path.c_str(), &error);
    ASSERT_NE(library, nullptr) << error;
    auto answer = reinterpret_cast<int (*)()>(g_OsApi.library_symbol(library, "os_test_answer"));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(g_OsApi.library_symbol(library, "os_test_question"), nullptr);
    g_OsApi.library_unload(library);
}

// Why a second flasher on Windows cannot start while the first runs: the first holds the library in
// %TEMP% loaded, and Windows lets nobody write over a loaded library, so the second's copy fails
// ("AdbWinApi.dll not find"). On POSIX each flasher deploys to a private directory of its own.
TEST(OsLibraries, ALoadedLibrarysFileCannotBeWrittenOverOnWindows) {
#ifndef _WIN32
    GTEST_SKIP() << "POSIX lets a loaded library's file be written; each flasher has a directory of its own";
#else
    std::string self, temp;
    ASSERT_TRUE(g_OsApi.executable_path(&self));
    ASSERT_TRUE(g_OsApi.temp_directory(&temp));
    const std::vector<uint8_t> bytes =
        read_file(os_join_path(self.substr(0, self.find_last_of("/\\")), OS_TEST_LIBRARY_NAME));
    const std::string copy =
        os_join_path(temp, ("tarnex-loaded-" + std::to_string(GetCurrentProcessId()) + ".dll").c_str());
    ASSERT_TRUE(os_write_whole_file(copy.c_str(), bytes.data(), bytes.size()));
    OsLibrary library = g_OsApi.library_load(copy.c_str(), nullptr);
    ASSERT_NE(library, nullptr);
    EXPECT_FALSE(os_write_whole_file(copy.c_str(), bytes.data(), bytes.size()));
    EXPECT_EQ(g_OsApi.get_last_error(), 32u) << "ERROR_SHARING_VIOLATION";
    g_OsApi.library_unload(library);
    EXPECT_TRUE(os_write_whole_file(copy.c_str(), bytes.data(), bytes.size())) << "once unloaded";
    g_OsApi.file_delete(copy.c_str());
#endif
}

TEST(OsLibraries, LoadFailureGivesAReadableReason) {
    std::string temp, error;
    ASSERT_TRUE(g_OsApi.temp_directory(&temp));
    std::string missing = os_join_path(temp, "tarnex-no-such-library.bin");
    EXPECT_EQ(g_OsApi.library_load(missing.c_str(), &error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(g_OsApi.library_load(missing.c_str(), nullptr), nullptr);
}

// A flasher whose driver library has another architecture shows only "Load AdbWinApi.dll failed"; the
// line on standard error must say why.
TEST(OsLibraries, ALibraryOfAnotherArchitectureIsRefusedInWords) {
#ifndef OS_FOREIGN_LIBRARY_NAME
    GTEST_SKIP() << "no library of another architecture: the MinGW-w64 C compilers were not found";
#else
    std::string self, temp;
    ASSERT_TRUE(g_OsApi.executable_path(&self));
    ASSERT_TRUE(g_OsApi.temp_directory(&temp));
    std::string text_file = os_join_path(temp, "tarnex-not-a-library.dll");
    ASSERT_TRUE(os_write_whole_file(text_file.c_str(), "not a library\n", 14));
    for (std::string path :
         {os_join_path(self.substr(0, self.find_last_of("/\\")), OS_FOREIGN_LIBRARY_NAME), text_file}) {
        std::string error;
        EXPECT_EQ(g_OsApi.library_load(path.c_str(), &error), nullptr) << path;
        EXPECT_NE(error.find(std::string("not built for this program's architecture, ") +
                             os_program_architecture()),
                  std::string::npos)
            << error;
#ifdef _WIN32
        EXPECT_EQ(g_OsApi.get_last_error(), 193u) << path; // ERROR_BAD_EXE_FORMAT
        EXPECT_NE(error.find("(error 193)"), std::string::npos) << error;
#endif
    }
    g_OsApi.file_delete(text_file.c_str());
#endif
}

// --- Error values

TEST(OsErrors, LastErrorBelongsToTheCallingThread) {
    // The worker copies its last-error value into its error number after every driver call while the
    // window thread makes calls of its own: neither may see the other's value.
    std::atomic<int> step{0};
    uint32_t seen_by_other = 0;
    std::thread other([&] {
        g_OsApi.set_last_error(OS_ERROR_INVALID_HANDLE);
        step = 1;
        while (step != 2)
            std::this_thread::yield();
        seen_by_other = g_OsApi.get_last_error();
    });
    while (step != 1)
        std::this_thread::yield();
    g_OsApi.set_last_error(OS_ERROR_TIMEOUT);
    step = 2;
    uint32_t seen_here = g_OsApi.get_last_error();
    other.join();
    EXPECT_EQ(seen_here, OS_ERROR_TIMEOUT);
    EXPECT_EQ(seen_by_other, OS_ERROR_INVALID_HANDLE);
}

TEST(OsErrors, ErrorTextIsOneBareSentence) {
    for (uint32_t code : {OS_ERROR_TIMEOUT, OS_ERROR_INVALID_HANDLE, OS_ERROR_OUT_OF_MEMORY, 0x7FFFFFF0u}) {
        std::string text = g_OsApi.error_text(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find('\n'), std::string::npos) << text;
        EXPECT_NE(text.back(), '.') << text;
    }
}

// --- Text conversion

TEST(OsText, AsciiAndEmptyTextsRoundTrip) {
    std::u16string wide;
    std::string narrow;
    const char *name = "\\\\?\\usb#vid_18d1&pid_d00d#0123456789ABCDEF#{f72fe0d4-cbcb-407d}";
    ASSERT_TRUE(g_OsApi.ansi_to_utf16(name, &wide));
    EXPECT_EQ(wide, u"\\\\?\\usb#vid_18d1&pid_d00d#0123456789ABCDEF#{f72fe0d4-cbcb-407d}");
    ASSERT_TRUE(g_OsApi.utf16_to_ansi(wide.c_str(), &narrow));
    EXPECT_EQ(narrow, name);
    ASSERT_TRUE(g_OsApi.ansi_to_utf16("", &wide));
    EXPECT_TRUE(wide.empty());
    ASSERT_TRUE(g_OsApi.utf16_to_ansi(u"", &narrow));
    EXPECT_TRUE(narrow.empty());
}

#ifdef _WIN32
TEST(OsText, CodePageCharactersConvert) {
    if (GetACP() != 1252)
        GTEST_SKIP() << "the ANSI code page here is " << GetACP() << ", not 1252";
    std::u16string wide;
    std::string narrow;
    ASSERT_TRUE(g_OsApi.ansi_to_utf16("Z\xfcrich \x80", &wide));
    EXPECT_EQ(wide, u"Z\u00fcrich \u20ac");
    ASSERT_TRUE(g_OsApi.utf16_to_ansi(wide.c_str(), &narrow));
    EXPECT_EQ(narrow, "Z\xfcrich \x80");
}
#else
TEST(OsText, Utf8ConvertsIncludingCharactersBeyondTheBasicPlane) {
    std::u16string wide;
    std::string narrow;
    const char *text = "Z\xc3\xbcrich \xe6\x9d\xb1\xe4\xba\xac \xf0\x9f\x93\xb1";
    ASSERT_TRUE(g_OsApi.ansi_to_utf16(text, &wide));
    EXPECT_EQ(wide, u"Z\u00fcrich \u6771\u4eac \U0001F4F1");
    ASSERT_TRUE(g_OsApi.utf16_to_ansi(wide.c_str(), &narrow));
    EXPECT_EQ(narrow, text);
}

TEST(OsText, IllFormedInputIsReplacedNotTruncated) {
    std::u16string wide;
    // A stray continuation byte, an overlong '/', an encoded surrogate and a sequence cut short by the
    // end of the text: each is replaced and the text after it survives.
    ASSERT_TRUE(g_OsApi.ansi_to_utf16("a\x80"
                                      "b\xc0\xaf"
                                      "c\xed\xa0\x80"
                                      "d\xe6\x9d",
                                      &wide));
    EXPECT_EQ(wide.substr(0, 2), u"a\ufffd");
    EXPECT_NE(wide.find(u'b'), std::u16string::npos);
    EXPECT_NE(wide.find(u'c'), std::u16string::npos);
    EXPECT_NE(wide.find(u'd'), std::u16string::npos);
    for (char16_t unit : wide)
        EXPECT_TRUE(unit < 0xD800 || unit > 0xDFFF) << "no surrogate may come out of ill-formed input";
    EXPECT_EQ(wide.back(), u'\ufffd');

    std::string narrow;
    const char16_t lone[] = {u'x', 0xD83D, u'y', 0xDC00, 0};
    ASSERT_TRUE(g_OsApi.utf16_to_ansi(lone, &narrow));
    EXPECT_EQ(narrow, "x\xef\xbf\xbdy\xef\xbf\xbd");
}
#endif

// --- Threads

TEST(OsThreads, StartedThreadRunsEntryWithItsContextElsewhere) {
    struct Context {
        std::promise<std::thread::id> ran;
    } context;
    auto entry = [](void *argument) {
        static_cast<Context *>(argument)->ran.set_value(std::this_thread::get_id());
    };
    std::future<std::thread::id> ran = context.ran.get_future();
    ASSERT_TRUE(g_OsApi.start_thread(entry, &context));
    ASSERT_EQ(ran.wait_for(std::chrono::seconds(30)), std::future_status::ready);
    EXPECT_NE(ran.get(), std::this_thread::get_id());
}

TEST(OsThreads, AnExceptionThatEscapesAnEntryEndsOnlyItsThread) {
    static std::promise<void> s_unwound;
    struct Unwound {
        ~Unwound() { s_unwound.set_value(); }
    };
    std::future<void> unwound = s_unwound.get_future();
    ASSERT_TRUE(g_OsApi.start_thread(
        [](void *) {
            Unwound guard;
            throw std::runtime_error("fault in a thread");
        },
        nullptr));
    // The thread's stack was unwound (the backstop caught it) and this process goes on.
    ASSERT_EQ(unwound.wait_for(std::chrono::seconds(30)), std::future_status::ready);
}

// --- Ending the process

// "Exit" during a download ends the process while the worker may be stopped anywhere, inside the driver
// library or holding a lock: no library's detach or finalizer code may run then. A normal exit runs it,
// which shows that the marker would tell.
TEST(OsProcess, EndingTheProcessRunsNoLibrarysDetachCode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    std::string self;
    ASSERT_TRUE(g_OsApi.executable_path(&self));
    const std::string library = os_join_path(self.substr(0, self.find_last_of("/\\")), OS_TEST_LIBRARY_NAME);
    // The child of a death test runs this test again from its start: the marker is the parent's, handed
    // down in the environment.
    SavedEnv saved("TARNEX_DETACH_MARKER");
    std::string marker;
    std::optional<TempDir> dir;
    if (!get_env("TARNEX_DETACH_MARKER", &marker)) {
        marker = dir.emplace().Path("detached");
        set_env("TARNEX_DETACH_MARKER", marker.c_str());
    }
    auto load_then = [&](void (*end)(int)) {
        if (g_OsApi.library_load(library.c_str(), nullptr) == nullptr)
            std::_Exit(9);
        end(3);
    };

    EXPECT_EXIT(load_then([](int code) { os_end_process(code); }), ::testing::ExitedWithCode(3), "");
    EXPECT_FALSE(std::filesystem::exists(marker)) << "the library's detach code ran";

    EXPECT_EXIT(load_then([](int code) { std::exit(code); }), ::testing::ExitedWithCode(3), "");
    EXPECT_TRUE(std::filesystem::exists(marker)) << "the marker does not show the detach code";
}

// --- Cutting texts at character boundaries

TEST(OsText, TextsAreCutBeforeAWholeCharacterOfTheirCodePage) {
    // UTF-8: never before a continuation byte. "校验" is two characters of three bytes each.
    const std::string utf8 = "ab\xe6\xa0\xa1\xe9\xaa\x8c";
    EXPECT_EQ(os_text_prefix_length(utf8.data(), utf8.size(), 100, 65001), utf8.size());
    EXPECT_EQ(os_text_prefix_length(utf8.data(), utf8.size(), 4, 65001), 2u);
    EXPECT_EQ(os_text_prefix_length(utf8.data(), utf8.size(), 5, 65001), 5u);
    EXPECT_EQ(os_text_prefix_length(utf8.data(), utf8.size(), 7, 65001), 5u);
    // A single-byte page cuts anywhere.
    EXPECT_EQ(os_text_prefix_length(utf8.data(), utf8.size(), 4, 1252), 4u);
#ifdef _WIN32
    // Code page 936: "校验失败" in GBK is four characters of two bytes, whose trail bytes may look like lead
    // bytes; the walk from the start keeps whole characters.
    const std::string gbk = "x\xd0\xa3\xd1\xe9\xca\xa7\xb0\xdc";
    EXPECT_EQ(os_text_prefix_length(gbk.data(), gbk.size(), 4, 936), 3u);
    EXPECT_EQ(os_text_prefix_length(gbk.data(), gbk.size(), 5, 936), 5u);
    EXPECT_EQ(os_text_prefix_length(gbk.data(), gbk.size(), 8, 936), 7u);
    EXPECT_EQ(os_text_prefix_length(gbk.data(), gbk.size(), 9, 936), 9u);
#endif
}
