#include "framework/dialog.h"

#include "framework/win_app.h"

bool dispatch_message_map(const MessageMap *map, CCmdTarget *target, UINT message, WPARAM wParam,
                          LPARAM lParam, LRESULT *result) {
    if (map == nullptr)
        return false;
    for (size_t i = 0; i < map->count; ++i) {
        const MessageMapEntry &entry = map->entries[i];
        if (entry.message != message)
            continue;
        if (message == WM_COMMAND && (entry.id != low_word(wParam) || entry.code != high_word(wParam)))
            continue;
        return entry.handler(target, wParam, lParam, result);
    }
    return false;
}

void DDX_Control(CDataExchange *pDX, int id, CWnd &control) {
    // Bound in both directions: a dialog object run a second time gets a new window and new controls.
    control.Attach(pDX->m_pDlgWnd->GetDlgItem(id));
}

void DDX_Check(CDataExchange *pDX, int id, BOOL &value) {
    CButton box;
    box.Attach(pDX->m_pDlgWnd->GetDlgItem(id));
    if (pDX->m_bSaveAndValidate)
        value = box.GetCheck();
    else
        box.SetCheck(value);
}

intptr_t CDialog::DoModal() {
    // Without a parent the dialog belongs to the main window, which stays disabled while it runs.
    WindowHandle owner = nullptr;
    if (m_pParentWnd != nullptr)
        owner = m_pParentWnd->m_hWnd;
    else if (CWnd *main = AfxGetMainWnd(); main != nullptr && main != this)
        owner = main->m_hWnd;
    intptr_t result = g_FrameworkBackend.run_modal(this, static_cast<int>(m_nIDTemplate), owner);
    m_hWnd = nullptr;
    return result;
}

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    CDataExchange exchange(this, saveAndValidate);
    DoDataExchange(&exchange);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (UpdateData(TRUE))
        EndDialog(IDOK);
}

void CDialog::OnCancel() {
    EndDialog(IDCANCEL);
}

BOOL CDialog::PreTranslateMessage(Msg *msg) {
    return g_FrameworkBackend.is_dialog_message(m_hWnd, msg);
}

bool CDialog::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) {
    const bool isMainWindow = AfxGetMainWnd() == this;
    // The core's reports reach the main window from its first message to its last; they are addressed
    // by handle, so one that comes later finds no window instead of a destroyed object.
    if (message == WM_INITDIALOG && isMainWindow)
        link_main_window(m_hWnd);
    if (message == WM_DESTROY && isMainWindow)
        link_main_window(nullptr);

    if (dispatch_message_map(GetMessageMap(), this, message, wParam, lParam, result))
        return true;

    switch (message) {
    case WM_INITDIALOG:
        *result = OnInitDialog();
        return true;
    case WM_COMMAND: {
        *result = 0;
        const UINT id = low_word(wParam);
        const UINT code = high_word(wParam);
        // Buttons send BN_CLICKED; menus and the keyboard send 0 and 1, and BN_CLICKED is 0.
        if (code == BN_CLICKED || code == 1) {
            if (id == IDOK) {
                OnOK();
                return true;
            }
            if (id == IDCANCEL) {
                OnCancel();
                return true;
            }
        }
        CWinApp *app = AfxGetApp();
        return app != nullptr && app->OnCmdMsg(id, code);
    }
    default:
        return false;
    }
}
