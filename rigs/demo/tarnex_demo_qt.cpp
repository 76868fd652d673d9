// tarnex-demo-qt: the Linux flasher on its Qt window, with an operator of its own in the process.
//
// Built as a base executable like tarnex: append a package with tarnex-pack and run the result. It starts
// the application from its own file exactly as the flasher does, on the main thread, while the operator
// (rigs/operators/qt_operator.h) works the window from a second thread as a person would: it waits for the
// phone, ticks "UserData", presses "Start", prints the states and percentages as they change, waits for
// the phone to reboot and leave, and presses "Exit". A start-up message box is answered with OK.
// Pictures of the window at each moment go to the folder $TARNEX_DEMO_SCREENSHOTS when it is set.
// Exit code 0 only when the window showed "Download successfully!".
//
// (The shipped flasher has no way in for another program: the operator lives in this demo base only.)
#include "app/download_app.h"
#include "res/resource.h"
#include "rigs/operators/flash_operator.h"
#include "rigs/operators/qt_operator.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

CDownloadApp theApp;

namespace {

int play(QtOperator &op) {
    const char *folder = std::getenv("TARNEX_DEMO_SCREENSHOTS");
    auto screenshot = [&](const char *moment) {
        if (folder == nullptr || folder[0] == '\0')
            return;
        const std::string path = std::string(folder) + "/" + moment + ".png";
        if (op.screenshot(path))
            std::printf("demo: screenshot %s\n", path.c_str());
    };
    // A refused start shows its message box first: a picture of it before it is answered.
    OperatorMessageBox box;
    if (op.wait_until([&] { return op.wait_message_box(&box, 0) || op.wait_window(IDD_TARNEX_DIALOG, 0); },
                      60 * 1000) &&
        op.wait_message_box(&box, 0))
        screenshot("refused");

    FlashPlay flash;
    flash.userdata = true;
    flash.say = [](const std::string &line) { std::printf("demo: %s\n", line.c_str()); };
    flash.screenshot = screenshot;
    const FlashOutcome outcome = play_flash(op, flash);
    if (outcome == FlashOutcome::START_FAILED || outcome == FlashOutcome::NO_WINDOW)
        return 1;
    if (outcome == FlashOutcome::SUCCEEDED) {
        std::printf("demo: waiting for the phone to reboot and leave\n");
        if (op.wait_until([&] { return op.text(IDC_STATUS).empty(); }, 60 * 1000))
            screenshot("no-device");
    }
    std::printf("demo: pressing \"Exit\"\n");
    op.click(IDCANCEL);
    return outcome == FlashOutcome::SUCCEEDED ? 0 : 1;
}

} // namespace

int main() {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    int operated = 1;
    QtOperator op;
    std::thread person([&] { operated = play(op); });
    const int exit_code = AfxWinMain();
    person.join();
    qt_shutdown();
    return exit_code != 0 ? exit_code : operated;
}
