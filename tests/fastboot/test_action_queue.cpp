// The action queue, judged by what reaches the simulated phone through the real exchange and transport:
// the order of the steps, their records' limits, out of memory included.
#include "fastboot/action_queue.h"

#include "allocation_probe.h"
#include "fastboot_test.h"

namespace {

// Runs a queue the way the flash worker does: to its end or its first failure, then frees the rest.
std::string run_to_end(ActionQueue queue, UsbDeviceHandle *device, int32_t *last = nullptr) {
    return stderr_of([&] {
        int32_t result = 0;
        while (queue != nullptr && result == 0)
            result = run_next_action(&queue, device, 0);
        free_actions(queue);
        if (last != nullptr)
            *last = result;
    });
}

} // namespace

TEST_F(FastbootSim, AnImageIsDownloadedAndFlashedWithOneOkayLineEach) {
    open("device phone\non flash:boot info writing\n");
    const std::string data = test_pattern_text(10000);
    ActionQueue queue = create_action_queue();
    queue_flash(queue, "boot", data.data(), static_cast<uint32_t>(data.size()));
    EXPECT_EQ(static_cast<const void *>(queue->data), data.data())
        << "an image is sent from where it lies, never copied";

    std::string log = stderr_of([&] {
        EXPECT_EQ(run_next_action(&queue, device, 0), 0);
        ASSERT_NE(queue, nullptr);
        EXPECT_STREQ(queue->command, "flash:boot");
        EXPECT_EQ(run_next_action(&queue, device, 0), 0);
    });
    EXPECT_EQ(queue, nullptr);
    EXPECT_EQ(log, "OKAY\nINFOwriting\nOKAY\n");
    EXPECT_EQ(sim.partition("phone", "boot"), data);
    EXPECT_EQ(wire(), (Lines{"out phone \"download:00002710\"", "in phone \"DATA00002710\"",
                             "data phone bytes=10000", "in phone \"OKAY\"", "out phone \"flash:boot\"",
                             "in phone \"INFOwriting\"", "in phone \"OKAY\""}));
}

TEST_F(FastbootSim, ActionsRunInTheOrderQueued) {
    open();
    ActionQueue queue = create_action_queue();
    queue_erase(queue, "userdata");
    queue_erase(queue, "cache");
    queue_command(queue, "reboot");
    int32_t last = -1;
    EXPECT_EQ(run_to_end(queue, device, &last), "OKAY\nOKAY\nOKAY\n");
    EXPECT_EQ(last, 0);
    EXPECT_EQ(wire(), (Lines{"out phone \"erase:userdata\"", "in phone \"OKAY\"", "out phone \"erase:cache\"",
                             "in phone \"OKAY\"", "out phone \"reboot\"", "in phone \"OKAY\""}));
}

namespace {

struct Completion {
    int32_t status = 1;
    std::string text = "unset";
};
Completion g_Completion;

int32_t record_completion(FastbootAction *action, int32_t status, const char *text) {
    g_Completion = {status, text};
    return report_action_result(action, status, text) == 0 ? 0 : 42;
}

} // namespace

TEST_F(FastbootSim, AFailedActionIsReportedOnceReleasedAndTheQueueAdvances) {
    open("device phone\non download:* fail \"no room\"\n");
    const std::string data = test_pattern_text(64);
    ActionQueue queue = create_action_queue();
    queue_flash(queue, "boot", data.data(), 64);
    queue->on_complete = record_completion;

    std::string log = stderr_of([&] { EXPECT_EQ(run_next_action(&queue, device, 0), 42); });
    EXPECT_EQ(log, "FAILED (remote: no room)\n");
    EXPECT_EQ(g_Completion.status, -1);
    EXPECT_EQ(g_Completion.text, "remote: no room");
    ASSERT_NE(queue, nullptr);
    EXPECT_STREQ(queue->command, "flash:boot");
    free_actions(queue); // as the worker does: the flash of an image that never arrived is not sent
    EXPECT_EQ(wire(), (Lines{"out phone \"download:00000040\"", "in phone \"FAILno room\""}));

    queue = create_action_queue();
    queue_command(queue, "getvar:product");
    queue->on_complete = record_completion;
    EXPECT_EQ(run_to_end(queue, device), "OKAY\n");
    EXPECT_EQ(g_Completion.status, 0);
    EXPECT_EQ(g_Completion.text, "");
}

TEST_F(FastbootSim, RecordsThatCannotBeSentAsTheyStandFailWithoutTouchingTheWire) {
    open();
    // One character too many for the record: cut short it would be another command. It fails the way
    // the exchange fails a command too long for the wire.
    ActionQueue queue = create_action_queue();
    queue_command(queue, ("erase:" + std::string(58, 'p')).c_str());
    EXPECT_EQ(run_to_end(queue, device), "FAILED (command too large)\n");
    // An empty command is no cut one: the exchange refuses to send nothing.
    queue = create_action_queue();
    queue_command(queue, "");
    EXPECT_EQ(run_to_end(queue, device),
              "FAILED (" + described("command write failed", OS_ERROR_INVALID_PARAMETER) + ")\n");

    queue = create_action_queue(); // never filled
    int32_t last = 0;
    EXPECT_EQ(run_to_end(queue, device, &last), "FAILED (unknown action)\n");
    EXPECT_EQ(last, -1);
    EXPECT_TRUE(wire().empty()) << sim.transcript();

    ActionQueue empty = nullptr;
    EXPECT_EQ(run_next_action(&empty, device, 0), -1);
    EXPECT_EQ(append_action(nullptr, ACTION_COMMAND, "reboot"), nullptr);
    free_actions(nullptr);
}

TEST_F(FastbootSim, AnActionThatCannotBeAllocatedFailsTheQueueWhereItWouldHaveRun) {
    open();
    const std::string data = test_pattern_text(100);

    fail_nothrow_allocation_after(0); // the head itself
    ActionQueue queue = create_action_queue();
    ASSERT_NE(queue, nullptr);
    queue_flash(queue, "boot", data.data(), 100);
    queue_command(queue, "reboot");
    int32_t last = 0;
    EXPECT_EQ(run_to_end(queue, device, &last), "FAILED (out of memory)\n");
    EXPECT_EQ(last, -1);
    EXPECT_TRUE(wire().empty()) << sim.transcript();

    queue = create_action_queue();
    fail_nothrow_allocation_after(0); // the flash behind the download
    queue_flash(queue, "boot", data.data(), 100);
    queue_command(queue, "reboot"); // nothing is queued behind a lost action
    cancel_allocation_failure();
    EXPECT_EQ(run_to_end(queue, device, &last), "OKAY\nFAILED (out of memory)\n");
    EXPECT_EQ(last, -1);
    EXPECT_EQ(wire(), (Lines{"out phone \"download:00000064\"", "in phone \"DATA00000064\"",
                             "data phone bytes=100", "in phone \"OKAY\""}));
}
