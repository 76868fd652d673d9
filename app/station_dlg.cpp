#include "app/station_dlg.h"

#include "app/app_state.h"
#include "app/download_dlg.h"
#include "app/driver_library.h"
#include "app/startup.h"
#include "app/window_texts.h"
#include "framework/win_app.h"
#include "os/file_io.h"
#include "os/host.h"
#include "package/image_table.h"
#include "res/resource.h"

#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// How long the window waits at its end for the watcher to leave the driver, and for record lines being
// written when it closes during downloads.
constexpr int WATCHER_STOP_MS = 5000;
constexpr int LINES_MS = 5000;

constexpr char PROGRAM_FOLDER[] = "Tarnex";

// The package's CRC-32 from the trailer at the end of the station's file (checked at start-up).
uint32_t package_crc_of(const std::string &path) {
    uint32_t crc = 0;
    if (FILE *file = std::fopen(path.c_str(), "rb")) {
        uint8_t bytes[4];
        if (file_seek64(file, -4, SEEK_END) && std::fread(bytes, 1, 4, file) == 4)
            crc = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
        std::fclose(file);
    }
    return crc;
}

void set_text(CWnd &control, const std::string &text) {
    if (control.GetWindowText() != text)
        control.SetWindowText(text.c_str());
}

void set_enabled(CWnd &control, bool enabled) {
    if ((control.IsWindowEnabled() != 0) != enabled)
        control.EnableWindow(enabled);
}

} // namespace

CStationDlg::CStationDlg() : CMainDialog(IDD_STATION_DIALOG) {}

void CStationDlg::DoDataExchange(CDataExchange *pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDOK, m_startButton);
    DDX_Control(pDX, IDCANCEL, m_exitButton);
    DDX_Control(pDX, IDC_USERDATA, m_userDataBox);
    DDX_Control(pDX, IDC_AUTO_START, m_autoStartBox);
    DDX_Control(pDX, IDC_SUCCEEDED_COUNT, m_succeededCount);
    DDX_Control(pDX, IDC_FAILED_COUNT, m_failedCount);
    DDX_Control(pDX, IDC_RECORD_PATH, m_recordPath);
    for (int n = 0; n < STATION_ROWS; ++n) {
        RowControls &row = m_rows[n];
        DDX_Control(pDX, IDC_ROW_PICTURE + n, row.picture);
        DDX_Control(pDX, IDC_ROW_NAME + n, row.name);
        DDX_Control(pDX, IDC_ROW_SERIAL + n, row.serial);
        DDX_Control(pDX, IDC_ROW_PROGRESS + n, row.bar);
        DDX_Control(pDX, IDC_ROW_PERCENT + n, row.percent);
        DDX_Control(pDX, IDC_ROW_STATUS + n, row.status);
        DDX_Control(pDX, IDC_ROW_REASON + n, row.reason);
        DDX_Control(pDX, IDC_ROW_START + n, row.start);
    }
}

template <size_t... N>
constexpr auto CStationDlg::MessageEntries(std::index_sequence<N...>) {
    return std::array<MessageMapEntry, 6 + sizeof...(N)>{
        on_message<&CStationDlg::OnDestroy>(WM_DESTROY),
        on_message<&CStationDlg::OnRefresh>(WM_POLL_DEVICE),
        on_message<&CStationDlg::OnPhones>(WM_STATION_PHONES),
        on_message<&CStationDlg::OnDownloadProgress>(WM_DOWNLOAD_PROGRESS),
        on_message<&CStationDlg::OnDownloadState>(WM_DOWNLOAD_STATE),
        on_message<&CStationDlg::OnRecordFailed>(WM_STATION_RECORD_FAILED),
        on_command<&CStationDlg::OnRowStart<static_cast<int>(N)>>(IDC_ROW_START + static_cast<UINT>(N))...,
    };
}

const MessageMap *CStationDlg::GetMessageMap() const {
    static constexpr auto entries = MessageEntries(std::make_index_sequence<STATION_ROWS>());
    static constexpr MessageMap map = {entries.data(), entries.size()};
    return &map;
}

// --- Start-up and shut-down.

BOOL CStationDlg::OnInitDialog() {
    CDialog::OnInitDialog();
    InitMainWindow();
    for (RowControls &row : m_rows) {
        row.bar.SetRange(0, 100);
        row.bar.SetPos(0);
    }
    for (int n = 0; n < STATION_ROWS; ++n)
        ApplyRow(n);
    ApplyHeader();

    // Two stations on one PC must not write over each other's driver library.
    use_own_driver_directory();
    if (const char *failure = start_up_flasher(&m_hDriverLibrary))
        return FailStartup(failure);
    ConfigureStation();
    if (!m_watcher.start(m_hWnd, WM_STATION_PHONES, g_AppSeams.poll_period_ms))
        return FailStartup(STATION_NO_WATCHER_TEXT);
    SetTimer(POLL_TIMER_ID, g_AppSeams.poll_period_ms, CDownloadDlg::PollTimerProc);
    ApplyHeader();
    NoticeStoppedStarts();
    return TRUE;
}

void CStationDlg::ConfigureStation() {
    std::string self, host;
    if (!g_OsApi.executable_path(&self))
        self.clear();
    if (!os_host_name(&host))
        host.clear();
    const size_t slash = self.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : self.substr(0, slash);
    const std::string file = slash == std::string::npos ? self : self.substr(slash + 1);
    std::string program;
    if (!os_program_name(&program) || program.empty())
        program = "tarnex-station";

    const ImageSlot &list = g_ImageTable.Slots[SLOT_DEVICE_LIST];
    std::string why;
    const bool recorded = m_record.open(folder, program + ".csv", PROGRAM_FOLDER, &why);
    m_station.configure(parse_device_list(list.Data, list.Size), host, file, package_crc_of(self),
                        recorded ? &m_record : nullptr);
    if (!recorded)
        m_station.stop_starts(why);
}

bool CStationDlg::OnDestroy(WPARAM, LPARAM, LRESULT *) {
    m_watcherEnded = m_watcher.stop(WATCHER_STOP_MS);
    // A worker that has reported its outcome is only giving back its phone: it is let finish, so that
    // its handles close and the driver library can go with the window. Phones still downloading are
    // not waited for.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(WATCHER_STOP_MS);
    while (m_station.running() > m_station.downloading() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m_station.release_all();
    ReleaseStartup(m_station.running() != 0 || !m_watcherEnded);
    return false; // and the default destruction
}

void CStationDlg::OnCancel() {
    if (const int downloading = m_station.downloading(); downloading != 0) {
        if (AfxMessageBox(station_exit_question(downloading).c_str(), MB_YESNO | MB_ICONQUESTION) != IDYES)
            return;
        // Those phones are not flashed: their lines say so before the process ends under them.
        m_station.record_aborted(LINES_MS);
    }
    m_station.release_all();
    EndDialog(IDCANCEL);
}

// --- Phones arriving and leaving.

LRESULT CStationDlg::OnPhones(WPARAM, LPARAM) {
    const StationClock::time_point now = StationClock::now();
    for (PhoneEvent &event : m_watcher.take_events()) {
        if (event.kind == PhoneEvent::GONE) {
            if (const int n = m_station.leave(event.name, now); n >= 0)
                ApplyRow(n);
            continue;
        }
        const int n = m_station.arrive(event.name, event.device, event.info, now);
        if (n < 0) {
            // No row for it now: the watcher offers it again on a later poll.
            free_device(event.device);
            m_watcher.forget(event.name);
            continue;
        }
        ApplyRow(n);
        if (m_autoStartBox.GetCheck() == BST_CHECKED && m_station.row(n).may_auto_start)
            StartRow(n);
    }
    ApplyHeader();
    return 0;
}

// A worker clears its running mark after its final state has been shown, so a row's "Start" is given
// back on the next tick of the timer.
LRESULT CStationDlg::OnRefresh(WPARAM, LPARAM) {
    for (int n = 0; n < STATION_ROWS; ++n)
        if (m_station.can_start(n) != (m_rows[n].start.IsWindowEnabled() != 0))
            ApplyRow(n);
    ApplyHeader();
    return 0;
}

// --- Downloads.

void CStationDlg::OnOK() {
    // "Start": every row whose phone is ready. Rows not in the device list, and rows that keep an outcome
    // while their phone stays, are started one by one with their own button.
    for (int n = 0; n < STATION_ROWS; ++n)
        if (m_station.row(n).status == ROW_READY)
            StartRow(n);
}

void CStationDlg::StartRow(int n) {
    if (!m_station.can_start(n))
        return;
    m_station.start(n, m_userDataBox.GetCheck() == BST_CHECKED);
    ApplyRow(n);
    ApplyHeader();
}

LRESULT CStationDlg::OnDownloadProgress(WPARAM wParam, LPARAM lParam) {
    const int n = static_cast<int>(wParam);
    m_station.apply_progress(n, lParam);
    if (n >= 0 && n < STATION_ROWS)
        ApplyRow(n);
    return 0;
}

LRESULT CStationDlg::OnDownloadState(WPARAM wParam, LPARAM lParam) {
    const int n = static_cast<int>(wParam);
    if (n < 0 || n >= STATION_ROWS)
        return 0;
    m_station.apply_state(n, lParam, StationClock::now());
    ApplyRow(n);
    ApplyHeader();
    NoticeStoppedStarts();
    return 0;
}

void CStationDlg::NoticeStoppedStarts() {
    if (!m_station.starts_stopped() || m_stopNoticed)
        return;
    m_stopNoticed = true;
    for (int n = 0; n < STATION_ROWS; ++n)
        ApplyRow(n);
    ApplyHeader();
    PostMessage(WM_STATION_RECORD_FAILED);
}

LRESULT CStationDlg::OnRecordFailed(WPARAM, LPARAM) {
    AfxMessageBox(station_record_failed_text(m_station.stop_reason()).c_str(), MB_OK | MB_ICONEXCLAMATION);
    return 0;
}

// --- What the window shows.

const char *CStationDlg::RowStatusText(RowStatus status) {
    switch (status) {
    case ROW_READY:
        return STATUS_READY_TEXT;
    case ROW_NOT_LISTED:
        return STATUS_NOT_LISTED_TEXT;
    case ROW_DOWNLOADING:
        return STATUS_DOWNLOADING_TEXT;
    case ROW_SUCCEEDED:
        return STATUS_SUCCEEDED_TEXT;
    case ROW_FAILED:
        return STATUS_FAILED_TEXT;
    default:
        return "";
    }
}

void CStationDlg::ApplyRow(int n) {
    const StationRow &row = m_station.row(n);
    RowControls &controls = m_rows[n];
    const bool counting =
        row.status == ROW_READY || row.status == ROW_DOWNLOADING || row.status == ROW_SUCCEEDED;
    // "Start" and the picture first and the status last, as the one-phone window sets a state: whoever
    // sees the status sees the rest of the row already.
    set_enabled(controls.start, m_station.can_start(n));
    IconHandle picture = row.held != nullptr ? m_hIconDevice : m_hIconNoDevice;
    if (controls.picture.GetIcon() != picture)
        controls.picture.SetIcon(picture);
    set_text(controls.name, utf8_text(row.name));
    set_text(controls.serial, utf8_text(row.phone.serial_number));
    if (controls.bar.GetPos() != row.position)
        controls.bar.SetPos(row.position);
    set_text(controls.percent, counting ? std::to_string(row.position) + "%" : "");
    set_text(controls.reason, utf8_text(row.reason));
    set_text(controls.status, RowStatusText(row.status));
}

void CStationDlg::ApplyHeader() {
    bool anyReady = false;
    for (int n = 0; n < STATION_ROWS; ++n)
        anyReady = anyReady || (m_station.row(n).status == ROW_READY && m_station.can_start(n));
    set_enabled(m_startButton, anyReady);
    set_text(m_succeededCount, std::to_string(m_station.succeeded()));
    set_text(m_failedCount, std::to_string(m_station.failed()));
    set_text(m_recordPath, utf8_text(m_record.path()));
}
