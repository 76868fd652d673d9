// What the one-phone flasher's window and the station's window share: the application's icons (in the
// title bar, and painted when minimised), the About item of the system menu, Enter and Escape doing
// nothing, the fatal end of a failed start-up and what the window gives back when it goes.
#pragma once

#include "framework/dialog.h"
#include "os/os_api.h"

class CMainDialog : public CDialog {
public:
    // Loads the three icons (application, device, no device).
    explicit CMainDialog(UINT templateId, CWnd *parent = nullptr);

    IconHandle m_hIconNoDevice; // icon 130: a red cross, no device
    IconHandle m_hIconDevice;   // icon 129: a green check mark, device present
    OsLibrary m_hDriverLibrary; // the loaded driver library, from start-up to destruction
    IconHandle m_hIcon;         // icon 131, the application

protected:
    // The About item in the system menu, the window's icons. Part of OnInitDialog.
    void InitMainWindow();

    // One message box with `text`, then the end of the process with exit code 1.
    BOOL FailStartup(const char *text);

    // Frees the file buffer and unloads and deletes the driver library; what a worker still running
    // ("Exit" during a download) uses stays until the process ends. Part of WM_DESTROY.
    void ReleaseStartup(bool workerRuns);

    BOOL PreTranslateMessage(Msg *msg) override;
    // The handlers below (system menu, painting, the drag icon), then the dialog's own handling with
    // the derived window's message table.
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) override;

    bool OnSysCommand(WPARAM wParam, LPARAM lParam, LRESULT *result);
    bool OnPaint(WPARAM wParam, LPARAM lParam, LRESULT *result);
    LRESULT OnQueryDragIcon(WPARAM wParam, LPARAM lParam);
};
