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
