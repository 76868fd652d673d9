#include "app/flash_sequence.h"

#include "app/app_state.h"
#include "app/run_record.h"
#include "fastboot/action_queue.h"
#include "fastboot/command_exchange.h"
#include "framework/main_window.h"
#include "framework/messages.h"
#include "package/image_table.h"
#include "usb/usb_device.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {

// The flash plan: which image goes to which partition, in this order. It is fixed, not read from the
// package. "userdata.img" is never written (the "UserData" option erases the partition instead), and
// the driver library and the device list are not images.
struct FlashStep {
    const char *partition;
    int slot;
};

constexpr FlashStep FLASH_PLAN[] = {
    {"qcsblhd", SLOT_QCSBLHD_CFGDATA},
    {"qcsbl", SLOT_QCSBL},
    {"oemsblhd", SLOT_OEMSBLHD},
    {"oemsbl", SLOT_OEMSBL},
    {"amsshd", SLOT_AMSSHD},
    {"amss", SLOT_AMSS},
    {"cefs", SLOT_CEFS},
    {"appsboothd", SLOT_APPSBOOTHD},
    {"appsboot", SLOT_APPSBOOT},
    {"boot", SLOT_BOOT},
    {"system", SLOT_SYSTEM},
    {"recovery", SLOT_RECOVERY},
};

// Runs a queue action by action until it is empty or an action fails; frees what is left after a
// failure. True when every action succeeded.
bool run_queue(ActionQueue queue, const RunRecord &run) {
    // What is left of the queue goes with it, also when an exception ends the run half-way.
    struct Rest {
        ActionQueue &queue;
        ~Rest() { free_actions(queue); }
    } rest{queue};
    while (queue != nullptr) {
        if (run_next_action(&queue, run.loan->device, run.row) != 0)
            return false;
    }
    return true;
}

// The data phase carries a signed 32-bit length: a larger image would go out with a wrapped one. The
// package locator lets such a slot through (the packer never makes one), so the download fails before
// its first action, with the same kind of line as a failed action: found at its turn, it would leave
// the boot loaders flashed before it beside an old system.
bool images_fit() {
    for (const FlashStep &step : FLASH_PLAN) {
        const ImageSlot &slot = g_ImageTable.Slots[step.slot];
        if (slot.Data != nullptr && slot.Size > IMAGE_SIZE_MAX) {
            std::string reason = std::string(IMAGE_ENTRY_NAMES[step.slot]) + " is too large (" +
                                 std::to_string(slot.Size) + " bytes)";
            report_action_result(nullptr, -1, reason.c_str());
            return false;
        }
    }
    return true;
}

bool flash_images(const RunRecord &run) {
    for (const FlashStep &step : FLASH_PLAN) {
        const ImageSlot &slot = g_ImageTable.Slots[step.slot];
        if (slot.Data == nullptr)
            continue;
        ActionQueue queue = create_action_queue();
        queue_flash(queue, step.partition, slot.Data, slot.Size);
        if (!run_queue(queue, run))
            return false;
    }
    return true;
}

bool download(const RunRecord &run) {
    if (!images_fit() || !flash_images(run))
        return false;
    // "UserData" as it was when the download started: ticking it now changes nothing.
    if (run.user_data) {
        ActionQueue queue = create_action_queue();
        queue_erase(queue, "userdata");
        queue_erase(queue, "cache");
        if (!run_queue(queue, run))
            return false;
    }
    ActionQueue queue = create_action_queue();
    queue_command(queue, "reboot");
    return run_queue(queue, run);
}

// The download's outcome. An exception from anywhere below (a failed allocation, a window that throws)
// is a failed download, reported like a failed action: the window must never stay on "Downloading...".
bool run_download(const RunRecord &run) {
    try {
        send_to_main_window(WM_DOWNLOAD_STATE, run.row, STATE_DOWNLOADING);
        return download(run);
    } catch (const std::exception &error) {
        report_action_result(nullptr, -1, error.what());
    } catch (...) {
        report_action_result(nullptr, -1, "unexpected failure");
    }
    return false;
}

// The outcome goes into the record, and to its observer, before anybody is told: whoever reads the
// record after the final state finds it complete.
void record_outcome(RunRecord &run, bool succeeded) {
    try {
        run.ended = std::chrono::system_clock::now();
        run.result = succeeded ? RUN_SUCCEEDED : RUN_FAILED;
        run.reason = succeeded ? "" : last_action_failure();
        if (run.observer != nullptr)
            run.observer->run_finished(run);
    } catch (...) {
        std::fprintf(stderr, "%sthe outcome of the download could not be recorded\n", diagnostic_prefix());
    }
}

void report_outcome(const RunRecord &run, bool succeeded) {
    try {
        send_to_main_window(WM_DOWNLOAD_STATE, run.row, succeeded ? STATE_SUCCEEDED : STATE_FAILED);
    } catch (...) {
        std::fprintf(stderr, "the window could not be told the outcome of the download\n");
    }
}

} // namespace

void reset_run_record(RunRecord &run) {
    run.loan = nullptr;
    run.row = 0;
    run.user_data = false;
    run.running = nullptr;
    run.line_prefix.clear();
    run.observer = nullptr;
    run.started = run.ended = {};
    run.accepted_bytes.store(0);
    run.result = RUN_UNFINISHED;
    run.reason.clear();
}

void FlashSequence(void *argument) {
    RunRecord &run = *static_cast<RunRecord *>(argument);
    set_diagnostic_prefix(run.line_prefix.c_str());
    count_accepted_bytes(&run.accepted_bytes);
    const bool succeeded = run_download(run);
    count_accepted_bytes(nullptr);
    record_outcome(run, succeeded);
    report_outcome(run, succeeded);
    set_diagnostic_prefix(nullptr);
    std::atomic<int32_t> *running = run.running;
    return_lent_device(*run.loan);
    // The last act: from here on the window may free everything the worker used, the record included.
    running->store(0, std::memory_order_release);
}
