#include "app/flash_sequence.h"

#include "app/app_state.h"
#include "app/download_dlg.h"
#include "fastboot/action_queue.h"
#include "framework/main_window.h"
#include "framework/messages.h"
#include "framework/win_app.h"
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
bool run_queue(ActionQueue queue, UsbDeviceHandle *device) {
    // What is left of the queue goes with it, also when an exception ends the run half-way.
    struct Rest {
        ActionQueue &queue;
        ~Rest() { free_actions(queue); }
    } rest{queue};
    while (queue != nullptr) {
        if (run_next_action(&queue, device, 0) != 0)
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

bool flash_images(UsbDeviceHandle *device) {
    for (const FlashStep &step : FLASH_PLAN) {
        const ImageSlot &slot = g_ImageTable.Slots[step.slot];
        if (slot.Data == nullptr)
            continue;
        ActionQueue queue = create_action_queue();
        queue_flash(queue, step.partition, slot.Data, slot.Size);
        if (!run_queue(queue, device))
            return false;
    }
    return true;
}

// The window's "UserData" as it was when "Start" was pressed. The window object outlives every worker
// (the application keeps it while one runs), so it can be read at any point of the download.
bool erase_user_data() {
    auto *window = static_cast<CDownloadDlg *>(AfxGetMainWnd());
    return window != nullptr && window->m_userData != 0;
}

bool download(UsbDeviceHandle *device) {
    if (!images_fit() || !flash_images(device))
        return false;
    if (erase_user_data()) {
        ActionQueue queue = create_action_queue();
        queue_erase(queue, "userdata");
        queue_erase(queue, "cache");
        if (!run_queue(queue, device))
            return false;
    }
    ActionQueue queue = create_action_queue();
    queue_command(queue, "reboot");
    return run_queue(queue, device);
}

// The download's outcome. An exception from anywhere below (a failed allocation, a window that throws)
// is a failed download, reported like a failed action: the window must never stay on "Downloading...".
bool run_download(UsbDeviceHandle *device) {
    try {
        send_to_main_window(WM_DOWNLOAD_STATE, 0, STATE_DOWNLOADING);
        return download(device);
    } catch (const std::exception &error) {
        report_action_result(nullptr, -1, error.what());
    } catch (...) {
        report_action_result(nullptr, -1, "unexpected failure");
    }
    return false;
}

void report_outcome(bool succeeded) {
    try {
        send_to_main_window(WM_DOWNLOAD_STATE, 0, succeeded ? STATE_SUCCEEDED : STATE_FAILED);
    } catch (...) {
        std::fprintf(stderr, "the window could not be told the outcome of the download\n");
    }
}

} // namespace

void FlashSequence(void *argument) {
    auto *device = static_cast<UsbDeviceHandle *>(argument);
    report_outcome(run_download(device));
    worker_done_with_device();
    // The last act: from here on the window may free everything the worker used.
    DownloadRunning.store(0, std::memory_order_release);
}
