#include "app/download_app.h"

#include "app/app_state.h"
#include "app/download_dlg.h"

BOOL CDownloadApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();

    // On the heap: when "Exit" ends the dialog during a download, the worker still reads the window's
    // "UserData" value, so the object then stays until the process ends.
    auto *dialog = new CDownloadDlg;
    m_pMainWnd = dialog;
    dialog->DoModal();
    if (DownloadRunning.load(std::memory_order_acquire) != 0) {
        leave_window_to_worker(dialog);
    } else {
        m_pMainWnd = nullptr;
        delete dialog;
    }
    return FALSE;
}

int CDownloadApp::ExitInstance() {
    // The worker may be inside the driver library or blocked on a silent phone; it is not waited for.
    // The process ends here, before static destructors and library finalizers could free what it uses.
    if (DownloadRunning.load(std::memory_order_acquire) != 0)
        g_AppSeams.end_process(0);
    return CWinApp::ExitInstance();
}

const MessageMap *CDownloadApp::GetCommandMap() const {
    static constexpr MessageMapEntry entries[] = {on_command<&CWinApp::OnHelp>(ID_HELP, 0)};
    static constexpr MessageMap map = {entries, std::size(entries)};
    return &map;
}
