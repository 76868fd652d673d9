#include "app/main_dialog.h"

#include "app/about_dlg.h"
#include "app/app_state.h"
#include "app/driver_library.h"
#include "framework/win_app.h"
#include "package/image_table.h"
#include "res/resource.h"

CMainDialog::CMainDialog(UINT templateId, CWnd *parent)
    : CDialog(templateId, parent), m_hDriverLibrary(nullptr) {
    m_hIcon = g_FrameworkBackend.load_icon(IDR_MAINFRAME);
    m_hIconDevice = g_FrameworkBackend.load_icon(IDI_DEVICE);
    m_hIconNoDevice = g_FrameworkBackend.load_icon(IDI_NODEVICE);
}

void CMainDialog::InitMainWindow() {
    if (MenuHandle systemMenu = GetSystemMenu()) {
        std::string about;
        if (g_FrameworkBackend.load_string(IDS_ABOUTBOX, &about) && !about.empty()) {
            CMenu menu(systemMenu);
            menu.AppendMenu(MF_SEPARATOR);
            menu.AppendMenu(MF_STRING, IDM_ABOUTBOX, about.c_str());
        }
    }
    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);
}

BOOL CMainDialog::FailStartup(const char *text) {
    AfxMessageBox(text, MB_OK | MB_ICONEXCLAMATION);
    discard_private_driver_directory();
    g_AppSeams.end_process(1);
    // Only reached when a test stands in for the end of the process.
    EndDialog(IDABORT);
    return FALSE;
}

void CMainDialog::ReleaseStartup(bool workerRuns) {
    // A worker that still runs ("Exit" during a download) keeps reading the images and calling the
    // driver: those stay until the process ends.
    if (workerRuns) {
        leave_file_buffer_to_worker(g_ImageTable.FileBuffer);
        leave_driver_library_to_worker(m_hDriverLibrary);
    } else {
        free_file_buffer(g_ImageTable.FileBuffer);
        unload_driver_library(m_hDriverLibrary);
    }
    g_ImageTable.FileBuffer = nullptr;
    // On POSIX a loaded library can be deleted; on Windows one still loaded cannot, and stays behind.
    if (m_hDriverLibrary != nullptr)
        remove_driver_library();
    m_hDriverLibrary = nullptr;
}

bool CMainDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) {
    bool handled = false;
    switch (message) {
    case WM_SYSCOMMAND:
        handled = OnSysCommand(wParam, lParam, result);
        break;
    case WM_PAINT:
        handled = OnPaint(wParam, lParam, result);
        break;
    case WM_QUERYDRAGICON:
        *result = OnQueryDragIcon(wParam, lParam);
        handled = true;
        break;
    default:
        break;
    }
    return handled || CDialog::OnMessage(message, wParam, lParam, result);
}

BOOL CMainDialog::PreTranslateMessage(Msg *msg) {
    // Enter would press "Start" (the default button) and Escape "Exit": neither acts by keyboard here.
    if (msg->message == WM_KEYDOWN && (msg->wParam == VK_RETURN || msg->wParam == VK_ESCAPE))
        return TRUE;
    return CDialog::PreTranslateMessage(msg);
}

bool CMainDialog::OnSysCommand(WPARAM wParam, LPARAM, LRESULT *result) {
    if ((wParam & 0xFFF0) != IDM_ABOUTBOX)
        return false;
    CAboutDlg about;
    about.DoModal();
    *result = 0;
    return true;
}

bool CMainDialog::OnPaint(WPARAM, LPARAM, LRESULT *result) {
    if (!IsIconic())
        return false;
    CPaintDC dc(this);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);
    const int iconWidth = GetSystemMetrics(SM_CXICON);
    const int iconHeight = GetSystemMetrics(SM_CYICON);
    Rect rect;
    GetClientRect(&rect);
    const int x = (rect.right - rect.left - iconWidth + 1) / 2;
    const int y = (rect.bottom - rect.top - iconHeight + 1) / 2;
    dc.DrawIcon(x, y, m_hIcon);
    *result = 0;
    return true;
}

LRESULT CMainDialog::OnQueryDragIcon(WPARAM, LPARAM) {
    return reinterpret_cast<LRESULT>(m_hIcon);
}
