// The dialog framework on the headless backend: the backend contract (backend_contract.cpp) and what only
// this backend does: a sender queued behind a window that goes, minimised painting, and dialogs built
// from res/.
#include "framework/headless/headless_operator.h"
#include "framework/styles.h"
#include "res/resource_tables.h"
#include "tests/framework/backend_contract.h"

namespace {

class HeadlessHarness : public BackendHarness {
public:
    std::unique_ptr<Operator> make_operator() override { return std::make_unique<HeadlessOperator>(); }
    WindowHandle window_of(Operator &op) override { return static_cast<HeadlessOperator &>(op).window(); }
    bool is_visible(WindowHandle window) override { return headless_state(window).visible; }
};

using Headless = BackendContract;

} // namespace

std::unique_ptr<BackendHarness> make_backend_harness() {
    return std::make_unique<HeadlessHarness>();
}

TEST_F(Headless, SenderQueuedWhenTheWindowGoesAwayGetsZero) {
    Start();
    // The first send ends the dialog while the second waits in the queue behind it.
    std::thread first([&] { g_FrameworkBackend.send_message(window, WM_SLOW_PROBE, 0, 0); });
    ASSERT_TRUE(headless_wait_until([&] { return dialog.slow_probe_started.load(); }, CONTRACT_WAIT_MS));
    std::atomic<LRESULT> late{-1};
    const uint64_t seen = headless_generation(); // nothing else changes while the window thread is busy
    std::thread second([&] { late = g_FrameworkBackend.send_message(window, WM_PROBE, 5, 5); });
    ASSERT_TRUE(headless_wait_change(seen, CONTRACT_WAIT_MS)) << "the second message is queued";
    dialog.release_slow_probe = true;
    first.join();
    second.join();
    ui.join();
    EXPECT_EQ(late, 0);
    EXPECT_EQ(result, IDOK);
}

TEST_F(Headless, HandlerThatDeclinesPaintingStillGetsTheDefaultHandling) {
    Start();
    ASSERT_TRUE(headless_set_iconic(window, true));
    HeadlessWindowState shown = headless_state(window);
    EXPECT_TRUE(shown.iconic);
    EXPECT_EQ(dialog.paints_declined, 1);
    EXPECT_EQ(shown.paints, 0); // the default painting draws nothing here
}

// The console flasher prints the status line with its percentage. A state is set one control after the
// other, so a plain read while the window is half-way through shows no state at all (the console once
// printed "Download successfully! 86%" before "... 100%"): a settled read waits for the whole change. A
// handler waiting in a message box of its own is between messages: the console goes on printing.
TEST_F(Headless, SettledReadsSeeNoMessageHalfHandled) {
    Start();
    auto texts = [&] {
        return headless_state(headless_item(window, IDC_ABOUT_VERSION)).text + " / " +
               headless_state(headless_item(window, IDC_ABOUT_COPYRIGHT)).text;
    };
    std::atomic<bool> half{false}, release{false};
    std::function<void()> change = [&] {
        g_FrameworkBackend.set_window_text(headless_item(window, IDC_ABOUT_VERSION),
                                           "Download successfully!");
        half = true;
        while (!release)
            std::this_thread::yield();
        g_FrameworkBackend.set_window_text(headless_item(window, IDC_ABOUT_COPYRIGHT), "100%");
    };
    std::thread sender(
        [&] { g_FrameworkBackend.send_message(window, WM_RUN, 0, reinterpret_cast<LPARAM>(&change)); });
    ASSERT_TRUE(headless_wait_until([&] { return half.load(); }, CONTRACT_WAIT_MS));
    const std::string before = headless_state(headless_item(window, IDC_ABOUT_COPYRIGHT)).text;
    EXPECT_EQ(texts(), "Download successfully! / " + before) << "a plain read sees half the change";
    std::string read;
    EXPECT_FALSE(headless_read_settled([&] { read = texts(); }, 0));
    EXPECT_EQ(read, "");
    release = true;
    EXPECT_TRUE(headless_read_settled([&] { read = texts(); }, CONTRACT_WAIT_MS));
    EXPECT_EQ(read, "Download successfully! / 100%");
    sender.join();

    const char *question = "between messages?";
    std::thread asker(
        [&] { g_FrameworkBackend.send_message(window, WM_ASK, 0, reinterpret_cast<LPARAM>(question)); });
    OperatorMessageBox box;
    ASSERT_TRUE(op->wait_message_box(&box, CONTRACT_WAIT_MS));
    EXPECT_TRUE(headless_read_settled([&] { read = texts(); }, 0)) << "while a message box waits";
    op->answer_message_box(IDOK);
    asker.join();
}

TEST(HeadlessTemplates, MainWindowHasItsControlsInTabOrder) {
    const DialogResource *main = find_dialog_resource(IDD_TARNEX_DIALOG);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->width, 242);
    EXPECT_EQ(main->height, 135);
    EXPECT_STREQ(main->caption, "Tarnex");
    EXPECT_STREQ(main->font_name, "宋体");
    EXPECT_EQ(main->font_points, 9);
    const int ids[] = {1, 2, 1001, 1002, 1005, 1003, 1009, 1010, -1, 1013};
    ASSERT_EQ(main->item_count, std::size(ids));
    for (size_t i = 0; i < main->item_count; ++i)
        EXPECT_EQ(main->items[i].id, ids[i]) << "tab position " << i;
    EXPECT_NE(main->items[0].style & WS_DISABLED, 0u) << "Start is disabled at creation";
    EXPECT_EQ(main->items[2].icon, IDI_NODEVICE);
    EXPECT_STREQ(find_string_resource(IDS_ABOUTBOX), "关于 Tarnex(&A)...");
    for (int icon : {IDI_DEVICE, IDI_NODEVICE, IDR_MAINFRAME})
        EXPECT_NE(g_FrameworkBackend.load_icon(icon), nullptr);
}
