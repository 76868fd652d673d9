// The real tarnex.exe under Wine, with firmware appended and the simulated phone inside as its driver
// library, driven from this process through the window system as an operator would. Screenshots of the
// main states go to build/windows/screenshots/.
#include "tests/e2e/front_end.h"

#include "rigs/remote/remote_operator.h"
#include "tests/e2e/product.h"

#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

class WineFrontEnd : public FrontEnd {
public:
    WineFrontEnd() {
        m_bin = remote::program_folder();
        const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(test->test_suite_name()) + "." + test->name();
        std::replace(name.begin(), name.end(), '/', '-');
        const char *kind = product_under_test().station ? "station" : "";
        m_work = fs::path(m_bin) / ".." / "e2e" / kind / name;
        m_screenshots = fs::path(m_bin) / ".." / "screenshots" / kind;
        fs::remove_all(m_work);
        fs::create_directories(m_work / "temp");
        fs::create_directories(m_screenshots);
    }
    ~WineFrontEnd() override { end(); }

    std::vector<uint8_t> base() override {
        return read_bytes(fs::path(m_bin) / (std::string(product_under_test().base_name) + ".exe"));
    }
    std::vector<uint8_t> sim_library() override { return read_bytes(fs::path(m_bin) / "tarnex_sim.dll"); }
    std::vector<uint8_t> partial_library() override {
        return read_bytes(fs::path(m_bin) / "tarnex_partial_driver.dll");
    }
    // The flasher's %TEMP%\AdbWinApi.dll stays; the station's own folder goes with its library.
    bool failed_library_stays() override { return !product_under_test().station; }
    bool tries_next_temp() override { return false; }
    fs::path work() override { return m_work; }

    // Starts the flasher with the simulated phone of the scenario, its own TEMP, and its output
    // collected in output.txt.
    bool launch(const FlasherRun &run) override {
        end();
        const fs::path flasher = m_work / (run.name + ".exe");
        write_bytes(flasher, run.file);
        write_bytes(m_work / "scenario.txt", std::vector<uint8_t>(run.scenario.begin(), run.scenario.end()));
        std::vector<std::string> variables = {
            "TEMP=" + (run.temp.empty() ? m_work / "temp" : run.temp).string(),
            "TARNEX_SIM_SCENARIO=" + (m_work / "scenario.txt").string(),
            "TARNEX_SIM_TRANSCRIPT=" + (m_work / "transcript.txt").string(),
            "TARNEX_SIM_PARTITION_DIR=" + (m_work / "partitions").string(),
        };
        for (const auto &[name, value] : environment)
            variables.push_back(name + "=" + value);
        std::string error;
        if (!remote::launch("\"" + flasher.string() + "\"", variables,
                            (m_work / "output.txt").string().c_str(), &m_process, &error)) {
            ADD_FAILURE() << error;
            return false;
        }
        m_op = RemoteOperator(m_process.id);
        return true;
    }

    Operator &op() override { return m_op; }

    bool wait_exit(int timeout_ms, int *exit_code) override {
        DWORD code = 0;
        if (!remote::wait_exit(m_process, timeout_ms, &code))
            return false;
        *exit_code = static_cast<int>(code);
        return true;
    }

    // The flasher writes its standard streams in text mode: lines end in CR LF.
    std::string errors() override {
        std::string output = read_text(m_work / "output.txt");
        std::erase(output, '\r');
        return output;
    }

    void end() override { remote::end(&m_process); }

    int start_ms() override { return 30000; }

    // What is on top: an open message box, or else the window worked.
    void screenshot(const char *name) override {
        HWND box = remote::wait_message_box(m_process.id, 0, 0);
        std::string error;
        EXPECT_TRUE(remote::screenshot(
            box != nullptr ? box : m_op.window(),
            remote::unix_path((m_screenshots / (std::string(name) + ".png")).string()), &error))
            << error;
    }

private:
    std::string m_bin;
    fs::path m_work, m_screenshots;
    remote::Process m_process;
    RemoteOperator m_op;
};

} // namespace

std::unique_ptr<FrontEnd> make_front_end() {
    return std::make_unique<WineFrontEnd>();
}
