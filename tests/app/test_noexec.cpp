// The console flasher when its temporary directory is on a file system mounted noexec, where dlopen
// refuses every library: it says so on standard error, deploys the driver library to the next temporary
// directory, starts, and leaves neither directory behind. The noexec mount is real: a tmpfs in a mount
// namespace of the test's own (unshare), so nothing outside the test sees it.
#include "rigs/demo/demo_firmware.h"
#include "tests/support/test_files.h"
#include "tools/packer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

std::string program_dir() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

std::string read_text(const fs::path &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `command` in a mount namespace of its own with a noexec tmpfs on `mount_point`; the exit status.
int run_with_noexec(const fs::path &mount_point, const std::string &command) {
    const std::string line =
        "unshare --mount --propagation private sh -c 'mount -t tmpfs -o noexec tarnex-noexec " +
        mount_point.string() + " && " + command + "'";
    const int status = std::system(line.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TEST(NoexecTemp, TheDriverLibraryGoesToTheNextTemporaryDirectoryAndTheFlasherStarts) {
    TempDir dir;
    const fs::path noexec = dir.Path("noexec"), next = dir.Path("next");
    fs::create_directories(noexec);
    fs::create_directories(next);
    // Where the machine allows no mount namespace (a container without the right), there is nothing to
    // test with.
    if (run_with_noexec(noexec, "grep -q \" " + noexec.string() + " .*noexec\" /proc/mounts") != 0)
        GTEST_SKIP() << "cannot mount a noexec file system in a mount namespace here (unshare --mount needs "
                        "CAP_SYS_ADMIN): the noexec fallback is not tested";

    std::vector<PackBlob> firmware;
    for (const DemoImage &image : DEMO_IMAGES)
        firmware.push_back({image.Name, demo_image_contents(image.Name, 4096)});
    firmware.push_back({"AdbWinApi.dll", read_file(program_dir() + "/" + TARNEX_SIM_FILE)});
    firmware.push_back({"DeviceList.dat", demo_device_list()});
    const std::string flasher = dir.Path("flasher");
    write_file(flasher, pack_flasher_bytes(read_file(program_dir() + "/tarnex-console"), firmware));
    fs::permissions(flasher, fs::perms::owner_all);

    // No input: the console flasher ends at once after start-up, with 0 once its window is up, 1 after a
    // start-up failure.
    const std::string errors = dir.Path("stderr.txt");
    const int code = run_with_noexec(noexec, "TEMP=" + noexec.string() + " TMPDIR=" + next.string() + " " +
                                                 flasher + " </dev/null >/dev/null 2>" + errors);
    const std::string said = read_text(errors);
    EXPECT_EQ(code, 0) << said;
    EXPECT_NE(said.find("AdbWinApi.dll: " + noexec.string() +
                        " is on a file system mounted noexec, where no library loads; trying " +
                        next.string()),
              std::string::npos)
        << said;
    EXPECT_EQ(said.find("Load AdbWinApi.dll failed"), std::string::npos) << said;
    EXPECT_TRUE(fs::is_empty(next)) << "the library and its directory are removed at the end";
    EXPECT_TRUE(fs::is_empty(noexec));
}
