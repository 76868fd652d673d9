#include "app/download_dlg.h"

#include "app/driver_library.h"
#include "app/flash_sequence.h"
#include "app/run_record.h"
#include "app/startup.h"
#include "app/window_texts.h"
#include "framework/win_app.h"
#include "package/image_table.h"
#include "res/resource.h"
#include "usb/driver_api.h"
#include "usb/usb_device.h"

#include <algorithm>
#include <cstdio>

namespace {

// Opens the held device's interface a second time by its name and closes it again: true while the
// device is still attached. A name too long for the check counts as gone.
bool device_still_answers(const UsbDeviceHandle *device) {
    std::u16string name;
    if (device->interface_name == nullptr || !g_OsApi.ansi_to_utf16(device->interface_name, &name) ||
        name.size() + 1 > INTERFACE_NAME_UNITS_MAX)
        return false;
    UsbDeviceHandle *probe = open_device_interface(name.c_str());
    if (probe == nullptr)
        return false;
    free_device(probe);
    return true;
}

// A device whose name the presence check could not take is not held at all: holding it would flip
// between "Ready" and no device on every tick.
bool name_fits_check(const UsbDeviceHandle *device) {
    std::u16string name;
    return device->interface_name != nullptr && g_OsApi.ansi_to_utf16(device->interface_name, &name) &&
           name.size() + 1 <= INTERFACE_NAME_UNITS_MAX;
}

// The download of the one phone: one at a time, so one record, reused. A worker left running by "Exit"
// keeps it until the process ends.
RunRecord g_Run;

} // namespace

CDownloadDlg::CDownloadDlg(CWnd *parent) : CMainDialog(IDD_TARNEX_DIALOG, parent), m_userData(FALSE) {}

void CDownloadDlg::DoDataExchange(CDataExchange *pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_PORT_CAPTION, m_portCaption);
    DDX_Control(pDX, IDC_SOFTWARE_CAPTION, m_softwareCaption);
    DDX_Control(pDX, IDC_PERCENT_CAPTION, m_percentCaption);
    DDX_Control(pDX, IDOK, m_startButton);
    DDX_Control(pDX, IDCANCEL, m_exitButton);
    DDX_Control(pDX, IDC_STATUS, m_statusEdit);
    DDX_Control(pDX, IDC_PROGRESS, m_progress);
    DDX_Control(pDX, IDC_DEVICE_PICTURE, m_devicePicture);
    DDX_Check(pDX, IDC_USERDATA, m_userData);
}

const MessageMap *CDownloadDlg::GetMessageMap() const {
    static constexpr MessageMapEntry entries[] = {
        on_message<&CDownloadDlg::OnDestroy>(WM_DESTROY),
        on_command<&CDownloadDlg::OnStart>(IDOK, BN_CLICKED),
        on_message<&CDownloadDlg::OnPollDevice>(WM_POLL_DEVICE),
        on_message<&CDownloadDlg::OnDownloadProgress>(WM_DOWNLOAD_PROGRESS),
        on_message<&CDownloadDlg::OnDownloadState>(WM_DOWNLOAD_STATE),
    };
    static constexpr MessageMap map = {entries, std::size(entries)};
    return &map;
}

// --- Start-up and shut-down.

BOOL CDownloadDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    InitMainWindow();
    m_progress.SetRange(0, 100);
    m_progress.SetPos(0);
    ApplyState(STATE_NO_DEVICE);

    if (const char *failure = start_up_flasher(&m_hDriverLibrary))
        return FailStartup(failure);

    SetTimer(POLL_TIMER_ID, g_AppSeams.poll_period_ms, PollTimerProc);
    return TRUE;
}

bool CDownloadDlg::OnDestroy(WPARAM, LPARAM, LRESULT *) {
    ReleaseStartup(DownloadRunning.load(std::memory_order_acquire) != 0);
    return false; // and the default destruction
}

// --- Device polling.

void CDownloadDlg::PollTimerProc(WindowHandle window, UINT, uintptr_t, uint32_t) {
    g_FrameworkBackend.post_message(window, WM_POLL_DEVICE, 0, 0);
}

LRESULT CDownloadDlg::OnPollDevice(WPARAM, LPARAM) {
    if (UsbDeviceHandle *held = HeldDevice.load(std::memory_order_acquire)) {
        if (!device_still_answers(held)) {
            release_held_device();
            ApplyState(STATE_NO_DEVICE);
            AwaitingDevice.store(1);
        }
    }
    if (DownloadRunning.load(std::memory_order_acquire) == 0 && HeldDevice.load() == nullptr &&
        AwaitingDevice.load() == 1) {
        UsbDeviceHandle *found = scan_for_device(is_fastboot_interface);
        if (found != nullptr && !name_fits_check(found)) {
            free_device(found);
            found = nullptr;
        }
        if (found != nullptr) {
            HeldDevice.store(found, std::memory_order_release);
            ApplyState(STATE_READY);
            AwaitingDevice.store(0);
        }
    }
    return 0;
}

// --- The download.

void CDownloadDlg::OnStart() {
    // The button stays enabled until the worker announces itself; a second click meanwhile must not
    // start a second worker on the same device.
    if (DownloadRunning.load(std::memory_order_acquire) != 0)
        return;
    UpdateData(TRUE);
    UsbDeviceHandle *device = HeldDevice.load(std::memory_order_acquire);
    if (device == nullptr)
        return;
    reset_run_record(g_Run);
    g_Run.loan = &flasher_loan();
    g_Run.user_data = m_userData != 0;
    g_Run.running = &DownloadRunning;
    g_Run.started = std::chrono::system_clock::now();
    lend_device(flasher_loan(), device);
    DownloadRunning.store(1, std::memory_order_release);
    if (!g_OsApi.start_thread(FlashSequence, &g_Run)) {
        loan_never_started(flasher_loan());
        DownloadRunning.store(0, std::memory_order_release);
        // As after any failed download: "Start" stays disabled until the phone is plugged in again.
        m_startButton.EnableWindow(FALSE);
        ApplyState(STATE_FAILED);
    }
}

LRESULT CDownloadDlg::OnDownloadProgress(WPARAM, LPARAM lParam) {
    // The byte count and the total are unsigned: a total of 2 GiB or more must not turn negative.
    const uint32_t total = g_ImageTable.TotalImageBytes;
    if (total != 0 && lParam > 0) {
        double step = static_cast<double>(lParam) * 100.0 / static_cast<double>(total);
        int position = m_progress.GetPos() + static_cast<int>(std::min(step, 100.0));
        m_progress.SetPos(position);
    }
    m_percentCaption.SetWindowText(PercentText().c_str());
    return 0;
}

LRESULT CDownloadDlg::OnDownloadState(WPARAM, LPARAM lParam) {
    ApplyState(lParam);
    return 0;
}

void CDownloadDlg::ApplyState(intptr_t state) {
    if (state < STATE_READY || state > STATE_FAILED)
        state = STATE_NO_DEVICE;
    switch (state) {
    case STATE_NO_DEVICE:
    case STATE_READY: {
        const bool ready = state == STATE_READY;
        m_startButton.EnableWindow(ready);
        m_devicePicture.SetIcon(ready ? m_hIconDevice : m_hIconNoDevice);
        // No port number is ever shown.
        m_portCaption.SetWindowText(PORT_CAPTION_TEXT);
        m_softwareCaption.SetWindowText(SOFTWARE_CAPTION_TEXT);
        m_progress.SetPos(0);
        m_percentCaption.SetWindowText(ready ? PercentText().c_str() : "");
        m_statusEdit.SetWindowText(StatusText(state));
        break;
    }
    case STATE_DOWNLOADING:
        m_startButton.EnableWindow(FALSE);
        m_statusEdit.SetWindowText(StatusText(state));
        break;
    case STATE_SUCCEEDED:
        m_statusEdit.SetWindowText(StatusText(state));
        m_progress.SetPos(100);
        m_percentCaption.SetWindowText(PercentText().c_str());
        break;
    case STATE_FAILED:
        m_statusEdit.SetWindowText(StatusText(state));
        m_progress.SetPos(0);
        m_percentCaption.SetWindowText("");
        break;
    }
}

std::string CDownloadDlg::PercentText() const {
    int low = 0, high = 0;
    m_progress.GetRange(low, high);
    const int position = m_progress.GetPos();
    const int percent = high != low ? static_cast<int>((position - low) * 100.0 / (high - low)) : 0;
    return std::to_string(percent) + "%";
}

const char *CDownloadDlg::StatusText(intptr_t state) {
    switch (state) {
    case STATE_READY:
        return STATUS_READY_TEXT;
    case STATE_DOWNLOADING:
        return STATUS_DOWNLOADING_TEXT;
    case STATE_SUCCEEDED:
        return STATUS_SUCCEEDED_TEXT;
    case STATE_FAILED:
        return STATUS_FAILED_TEXT;
    default:
        return "";
    }
}

// --- "Exit".

void CDownloadDlg::OnCancel() {
    release_held_device();
    EndDialog(IDCANCEL);
}
