// The contract of every framework backend (backend_contract.h), run against the backend this test program
// links.
#include "tests/framework/backend_contract.h"

#include "framework/messages.h"
#include "framework/styles.h"
#include "res/resource_tables.h"

#include <string>

// --- The modal run.

TEST_F(BackendContract, ModalRunShowsAfterInitAndReturnsTheValueGivenToEndDialog) {
    Start();
    EXPECT_FALSE(dialog.visible_during_init);
    // The caption comes from the template, whatever the system's code page.
    EXPECT_EQ(op->caption(), find_dialog_resource(IDD_ABOUTBOX)->caption);
    ASSERT_TRUE(op->click(IDOK));
    ui.join();
    EXPECT_EQ(result, IDOK);
    EXPECT_FALSE(op->window_exists());
    EXPECT_EQ(dialog.m_hWnd, nullptr);
}

TEST_F(BackendContract, DialogEndedDuringInitIsNeverShown) {
    dialog.end_during_init = true;
    ui = [this] { result = dialog.DoModal(); };
    ui.join();
    EXPECT_EQ(result, IDABORT);
    EXPECT_FALSE(dialog.visible_during_init);
    EXPECT_FALSE(op->wait_window(IDD_ABOUTBOX, 0));
}

TEST_F(BackendContract, UnknownTemplateFailsTheModalRun) {
    CDialog missing(4242);
    EXPECT_EQ(missing.DoModal(), -1);
}

TEST_F(BackendContract, NestedDialogDisablesItsOwnerUntilItHasGone) {
    Start();
    std::unique_ptr<Operator> outer = harness->make_operator();
    ASSERT_TRUE(outer->wait_window(IDD_ABOUTBOX, 0));
    ProbeDialog nested(harness.get(), IDD_ABOUTBOX, &dialog);
    std::atomic<intptr_t> nested_result{0};
    std::function<void()> run_nested = [&] { nested_result = nested.DoModal(); };
    std::thread poster(
        [&] { g_FrameworkBackend.send_message(window, WM_RUN, 0, reinterpret_cast<LPARAM>(&run_nested)); });
    // The operator turns to the nested dialog once it shows.
    ASSERT_TRUE(
        op->wait_until([&] { return op->wait_window(IDD_ABOUTBOX, 0) && harness->window_of(*op) != window; },
                       CONTRACT_WAIT_MS));
    EXPECT_TRUE(outer->wait_until([&] { return !outer->window_enabled(); }, CONTRACT_WAIT_MS));
    EXPECT_FALSE(outer->click(IDOK)) << "a disabled dialog takes no clicks";
    ASSERT_TRUE(op->click(IDOK));
    poster.join();
    EXPECT_EQ(nested_result, IDOK);
    EXPECT_TRUE(outer->window_enabled());
}

// --- Messages between threads.

TEST_F(BackendContract, MessageFromAnotherThreadIsHandledOnTheWindowThreadWhileTheSenderWaits) {
    Start();
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_PROBE, 40, 2), 42);
    EXPECT_EQ(dialog.probed_on.load(), ui_thread.load());
    // The same through the core's report path, which finds the main window by itself.
    EXPECT_EQ(send_to_main_window(WM_PROBE, 1, 1), 2);
    EXPECT_TRUE(g_FrameworkBackend.post_message(window, WM_PROBE, 0, 0));
}

TEST_F(BackendContract, DialogEndedFromASentMessageEndsAndLaterMessagesFindNothing) {
    Start();
    std::thread sender([&] { g_FrameworkBackend.send_message(window, WM_SLOW_PROBE, 0, 0); });
    ASSERT_TRUE(op->wait_until([&] { return dialog.slow_probe_started.load(); }, CONTRACT_WAIT_MS));
    dialog.release_slow_probe = true;
    sender.join();
    ui.join();
    EXPECT_EQ(result, IDOK);
    // Reports after the window is gone find nothing, and nothing blocks.
    EXPECT_EQ(send_to_main_window(WM_PROBE, 1, 1), 0);
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_PROBE, 1, 1), 0);
    EXPECT_FALSE(g_FrameworkBackend.post_message(window, WM_PROBE, 1, 1));
}

TEST_F(BackendContract, HandlerThatThrowsEndsThatHandlerOnly) {
    Start();
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_THROW, 0, 0), 0) << "the default result";
    EXPECT_TRUE(op->window_exists());
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_PROBE, 40, 2), 42) << "and the window goes on";
}

// --- Timers, pre-translation and the keyboard.

TEST_F(BackendContract, TimerCallsBackThroughPreTranslationUntilKilled) {
    Start();
    ASSERT_EQ(g_FrameworkBackend.send_message(window, WM_ARM_TIMER, 0, 0), 7);
    ASSERT_TRUE(op->wait_until([&] { return dialog.ticks >= 3; }, CONTRACT_WAIT_MS));
    // Killed at the third tick: a round trip through the loop later there is still no fourth.
    g_FrameworkBackend.send_message(window, WM_NULL, 0, 0);
    EXPECT_EQ(dialog.ticks, 3);
    EXPECT_GE(dialog.timer_messages_seen, 3);
}

TEST_F(BackendContract, PreTranslationSwallowsKeysBeforeTheDialogActsOnThem) {
    dialog.swallow_escape = true;
    Start();
    ASSERT_TRUE(op->key(VK_ESCAPE));
    ASSERT_TRUE(op->wait_until([&] { return dialog.escapes_seen >= 1; }, CONTRACT_WAIT_MS));
    g_FrameworkBackend.send_message(window, WM_NULL, 0, 0); // the key's turn in the loop has passed
    EXPECT_TRUE(op->window_exists());
    // Unswallowed, Enter reaches the dialog's standard keyboard handling: the default button, OK.
    ASSERT_TRUE(op->key(VK_RETURN));
    ui.join();
    EXPECT_EQ(result, IDOK);
}

TEST_F(BackendContract, CloseButtonIsTheCancelCommand) {
    Start();
    ASSERT_TRUE(op->system_command(SC_CLOSE));
    ui.join();
    EXPECT_EQ(result, IDCANCEL);
}

TEST_F(BackendContract, ClicksReachOnlyEnabledControlsOfAnEnabledDialog) {
    Start();
    g_FrameworkBackend.send_message(window, WM_ENABLE_OK, FALSE, 0);
    EXPECT_FALSE(op->enabled(IDOK));
    EXPECT_FALSE(op->click(IDOK));
    g_FrameworkBackend.send_message(window, WM_NULL, 0, 0);
    EXPECT_TRUE(op->window_exists());
    g_FrameworkBackend.send_message(window, WM_ENABLE_OK, TRUE, 0);
    ASSERT_TRUE(op->click(IDOK));
    ui.join();
    EXPECT_EQ(result, IDOK);
}

TEST_F(BackendContract, UnhandledCommandGoesToTheApplicationsCommandTable) {
    Start();
    g_FrameworkBackend.post_message(window, WM_COMMAND, make_wparam(ID_HELP, 0), 0);
    ASSERT_TRUE(op->wait_until([&] { return app.helps.load() == 1; }, CONTRACT_WAIT_MS));
    EXPECT_TRUE(op->window_exists());
}

// --- Message boxes.

TEST_F(BackendContract, MessageBoxWaitsForItsAnswerWhileTheWindowThreadKeepsWorking) {
    Start();
    std::string program;
    ASSERT_TRUE(g_FrameworkBackend.module_name(&program));
    const char *text = "无法打开设备: Open image failed";
    std::atomic<LRESULT> answer{-1};
    std::thread asker(
        [&] { answer = g_FrameworkBackend.send_message(window, WM_ASK, 0, reinterpret_cast<LPARAM>(text)); });
    OperatorMessageBox box;
    ASSERT_TRUE(op->wait_message_box(&box, CONTRACT_WAIT_MS));
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, program) << "the application's name: the program's, without extension";
    EXPECT_TRUE(box.ok_only);
    EXPECT_TRUE(box.has_icon);
    EXPECT_TRUE(op->wait_until([&] { return !op->window_enabled(); }, CONTRACT_WAIT_MS))
        << "the owner is disabled while the box is open";

    // Sent messages and timers are still handled while the box waits for its answer.
    EXPECT_EQ(g_FrameworkBackend.send_message(window, WM_PROBE, 2, 3), 5);
    ASSERT_EQ(g_FrameworkBackend.send_message(window, WM_ARM_TIMER, 0, 0), 7);
    EXPECT_TRUE(op->wait_until([&] { return dialog.ticks >= 3; }, CONTRACT_WAIT_MS));

    ASSERT_TRUE(op->answer_message_box(IDOK));
    asker.join();
    EXPECT_EQ(answer, IDOK);
    EXPECT_TRUE(op->wait_until([&] { return op->window_enabled(); }, CONTRACT_WAIT_MS));
}
