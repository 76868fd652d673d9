// The station's window (template 103): one row per port, up to STATION_ROWS, each with its phone's
// picture, where it is plugged, its serial number, progress, status, the reason of a failure and its own
// "Start"; above them "UserData", "Auto start", "Start" (every ready row), "Exit", the counters and the
// record file's path. It owns the station (app/station.h) and its watcher thread, and shows them.
#pragma once

#include "app/main_dialog.h"
#include "app/phone_watcher.h"
#include "app/record_file.h"
#include "app/station.h"

#include <array>
#include <string>
#include <utility>

class CStationDlg : public CMainDialog {
public:
    CStationDlg();

    struct RowControls {
        CStatic picture;   // IDC_ROW_PICTURE + n
        CStatic name;      // IDC_ROW_NAME + n
        CStatic serial;    // IDC_ROW_SERIAL + n
        CProgressCtrl bar; // IDC_ROW_PROGRESS + n
        CStatic percent;   // IDC_ROW_PERCENT + n
        CEdit status;      // IDC_ROW_STATUS + n
        CEdit reason;      // IDC_ROW_REASON + n
        CButton start;     // IDC_ROW_START + n
    };

    CButton m_startButton;    // IDOK: every ready row
    CButton m_exitButton;     // IDCANCEL
    CButton m_userDataBox;    // IDC_USERDATA: for the phones started from now on
    CButton m_autoStartBox;   // IDC_AUTO_START: a phone that arrives starts by itself
    CStatic m_succeededCount; // IDC_SUCCEEDED_COUNT
    CStatic m_failedCount;    // IDC_FAILED_COUNT
    CEdit m_recordPath;       // IDC_RECORD_PATH
    RowControls m_rows[STATION_ROWS];

    Station m_station;
    RecordFile m_record;
    PhoneWatcher m_watcher;
    // False when the watcher did not end in time at destruction: it may still call the driver.
    bool m_watcherEnded = true;

    // The status text of a row: the flasher's texts, "Not in the device list", and "" for no phone.
    static const char *RowStatusText(RowStatus status);

protected:
    void DoDataExchange(CDataExchange *pDX) override;
    BOOL OnInitDialog() override;
    void OnOK() override;
    void OnCancel() override;
    const MessageMap *GetMessageMap() const override;

    bool OnDestroy(WPARAM wParam, LPARAM lParam, LRESULT *result);
    LRESULT OnPhones(WPARAM wParam, LPARAM lParam);
    LRESULT OnDownloadProgress(WPARAM wParam, LPARAM lParam);
    LRESULT OnDownloadState(WPARAM wParam, LPARAM lParam);
    LRESULT OnRecordFailed(WPARAM wParam, LPARAM lParam);
    LRESULT OnRefresh(WPARAM wParam, LPARAM lParam);

    template <int N>
    void OnRowStart() {
        StartRow(N);
    }

private:
    template <size_t... N>
    static constexpr auto MessageEntries(std::index_sequence<N...>);

    // What the package and the system say about this station, for every record line; the record file.
    void ConfigureStation();
    void StartRow(int n);
    void ApplyRow(int n);
    void ApplyHeader();
    // A record that cannot be written stops every start: the controls show it, and a message box (posted,
    // so that no worker waits on it) says why.
    void NoticeStoppedStarts();

    bool m_stopNoticed = false;
};
