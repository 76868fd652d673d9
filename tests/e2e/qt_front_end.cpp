// The in-process front end (in_process_front_end.h) on the Qt window: the shared scenarios run against
// real Qt widgets on the offscreen platform, worked by the Qt operator (mouse and key presses delivered
// to the widgets), with screenshots of the main states in build/PRESET/screenshots/qt/.
#include "rigs/operators/qt_operator.h"
#include "tests/e2e/in_process_front_end.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

class QtFrontEnd : public InProcessFrontEnd {
public:
    ~QtFrontEnd() override { end(); }

    void screenshot(const char *name) override {
        const std::filesystem::path folder = TARNEX_SCREENSHOT_DIR;
        std::filesystem::create_directories(folder);
        const std::string path = (folder / (std::string(name) + ".png")).string();
        EXPECT_TRUE(static_cast<QtOperator &>(op()).screenshot(path)) << "no screenshot " << path;
    }

protected:
    std::unique_ptr<Operator> new_operator() override { return std::make_unique<QtOperator>(); }
};

} // namespace

std::unique_ptr<FrontEnd> make_front_end() {
    return std::make_unique<QtFrontEnd>();
}
