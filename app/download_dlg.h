// The main window: shows whether a phone is connected, starts a download, and shows its progress and
// outcome. It owns the held device, polls it every 500 ms and looks for a new one when none is held.
#pragma once

#include "app/app_state.h"
#include "app/main_dialog.h"

#include <string>

class CDownloadDlg : public CMainDialog {
public:
    // "UserData" starts unticked.
    explicit CDownloadDlg(CWnd *parent = nullptr);

    CStatic m_portCaption;     // 1009
    CStatic m_softwareCaption; // 1005
    CStatic m_percentCaption;  // 1010
    CButton m_startButton;     // 1, "Start"
    CButton m_exitButton;      // 2, "Exit"
    CEdit m_statusEdit;        // 1003, the status line
    CProgressCtrl m_progress;  // 1002
    CStatic m_devicePicture;   // 1001

    // Check box 1013 as it was when "Start" was pressed; the worker reads it. Nonzero: erase userdata
    // and cache after the images.
    BOOL m_userData;

    // Sets the controls for a DownloadState; any value outside 1..4 acts as STATE_NO_DEVICE.
    void ApplyState(intptr_t state);

    // The progress bar's position as a percentage of its range, truncated: "0%" ... "100%".
    std::string PercentText() const;

    // The status line of a state: "Ready", "Downloading...", "Download successfully!", "Download
    // failed!", and the empty text for any other value.
    static const char *StatusText(intptr_t state);

    // The poll timer's callback: posts WM_POLL_DEVICE to the window.
    static void PollTimerProc(WindowHandle window, UINT message, uintptr_t id, uint32_t time);

protected:
    void DoDataExchange(CDataExchange *pDX) override;
    BOOL OnInitDialog() override;
    void OnCancel() override;
    const MessageMap *GetMessageMap() const override;

    bool OnDestroy(WPARAM wParam, LPARAM lParam, LRESULT *result);
    void OnStart();
    LRESULT OnPollDevice(WPARAM wParam, LPARAM lParam);
    LRESULT OnDownloadProgress(WPARAM wParam, LPARAM lParam);
    LRESULT OnDownloadState(WPARAM wParam, LPARAM lParam);
};

// The id of the poll timer.
inline constexpr uintptr_t POLL_TIMER_ID = 2;

// The longest interface name the presence check takes, terminator included (UTF-16 units).
inline constexpr size_t INTERFACE_NAME_UNITS_MAX = 1024;
