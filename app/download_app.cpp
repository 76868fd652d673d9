#include "app/download_app.h"

#include "app/app_state.h"
#include "app/download_dlg.h"

BOOL CDownloadApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();

    // The worker reads nothing of the window (its run record holds what it needs), so the dialog goes
    // with the modal run, also when "Exit" ended it during a download.
    CDownloadDlg dialog;
    m_pMainWnd = &dialog;
    dialog.DoModal();
    m_pMainWnd = nullptr;
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
