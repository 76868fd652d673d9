// Dialogs: the modal run, dialog initialisation, data exchange, message pre-translation, and message
// tables that route a window's messages to its handlers.
#pragma once

#include "framework/window.h"

#include <cstddef>

// --- Message tables.
//
// A window class lists the messages it handles in a table of entries, each made from a member function:
//
//     on_message<&CMyDlg::OnTimerTick>(WM_TIMER)           LRESULT OnTimerTick(WPARAM, LPARAM)
//     on_message<&CMyDlg::OnPaint>(WM_PAINT)               bool OnPaint(WPARAM, LPARAM, LRESULT *)
//     on_command<&CMyDlg::OnStart>(IDC_START)              void OnStart()
//
// The first shape always handles the message. The second decides: false asks for the default handling
// as well (after the handler has run). The third suits commands and notifications without a result.

struct MessageMapEntry {
    UINT message;
    UINT code; // WM_COMMAND only: the notification code (BN_CLICKED)
    UINT id;   // WM_COMMAND only: the control or command id
    bool (*handler)(CCmdTarget *target, WPARAM wParam, LPARAM lParam, LRESULT *result);
};

struct MessageMap {
    const MessageMapEntry *entries;
    size_t count;
};

namespace framework_detail {

template <typename Member>
struct HandlerShape;

template <typename Window>
struct HandlerShape<LRESULT (Window::*)(WPARAM, LPARAM)> {
    template <auto Member>
    static bool call(CCmdTarget *window, WPARAM wParam, LPARAM lParam, LRESULT *result) {
        *result = (static_cast<Window *>(window)->*Member)(wParam, lParam);
        return true;
    }
};

template <typename Window>
struct HandlerShape<bool (Window::*)(WPARAM, LPARAM, LRESULT *)> {
    template <auto Member>
    static bool call(CCmdTarget *window, WPARAM wParam, LPARAM lParam, LRESULT *result) {
        return (static_cast<Window *>(window)->*Member)(wParam, lParam, result);
    }
};

template <typename Window>
struct HandlerShape<void (Window::*)()> {
    template <auto Member>
    static bool call(CCmdTarget *window, WPARAM, LPARAM, LRESULT *result) {
        (static_cast<Window *>(window)->*Member)();
        *result = 0;
        return true;
    }
};

} // namespace framework_detail

template <auto Member>
constexpr MessageMapEntry on_message(UINT message) {
    return {message, 0, 0, &framework_detail::HandlerShape<decltype(Member)>::template call<Member>};
}

template <auto Member>
constexpr MessageMapEntry on_command(UINT id, UINT code = BN_CLICKED) {
    return {WM_COMMAND, code, id, &framework_detail::HandlerShape<decltype(Member)>::template call<Member>};
}

// Runs the entry of `map` that matches the message, with `target` (the object the map belongs to) as
// the handler's object. False when no entry matches or the handler
// asked for the default handling.
bool dispatch_message_map(const MessageMap *map, CCmdTarget *target, UINT message, WPARAM wParam,
                          LPARAM lParam, LRESULT *result);

// --- Data exchange between a dialog's controls and its members.

class CDialog;

class CDataExchange {
public:
    CDataExchange(CDialog *dialog, BOOL save) : m_pDlgWnd(dialog), m_bSaveAndValidate(save) {}
    CDialog *m_pDlgWnd;
    BOOL m_bSaveAndValidate; // TRUE: controls to members; FALSE: members to controls
};

// Binds `control` to the dialog's control `id` (once; later exchanges leave it bound).
void DDX_Control(CDataExchange *pDX, int id, CWnd &control);

// Exchanges the state of check box `id` with `value` (BST_UNCHECKED or BST_CHECKED).
void DDX_Check(CDataExchange *pDX, int id, BOOL &value);

// --- Dialogs.

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd *parent = nullptr)
        : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

    // Runs the dialog modally on the calling thread, which then owns the window, and returns the value
    // given to EndDialog, or -1 when the window could not be created. The handle is detached again
    // when it returns.
    virtual intptr_t DoModal();

    // Ends the modal run with `result` once the current message is handled. Window thread.
    void EndDialog(intptr_t result) { g_FrameworkBackend.end_dialog(m_hWnd, result); }

    // Runs the data exchange in one direction (TRUE: controls to members). Returns TRUE.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

    // WM_INITDIALOG: binds the controls and loads them from the members. Returns TRUE to let the
    // backend give the focus to the first control.
    virtual BOOL OnInitDialog();

    // The default button (IDOK): saves the controls into the members and ends with IDOK.
    virtual void OnOK();

    // The Cancel command (IDCANCEL, Escape, the close button): ends with IDCANCEL.
    virtual void OnCancel();

    // Sees every message the loop takes from the queue before it is dispatched; TRUE swallows it. The
    // default gives the dialog its standard keyboard handling (Enter, Escape, Tab).
    virtual BOOL PreTranslateMessage(Msg *msg);

    virtual void DoDataExchange(CDataExchange *pDX) {}

    // The message table first, then the dialog's own handling: WM_INITDIALOG, IDOK and IDCANCEL, and
    // commands nobody in the window handles, which go to the application's command table.
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result) override;

protected:
    // The class's message table, or null. Handlers are called on the object itself.
    virtual const MessageMap *GetMessageMap() const { return nullptr; }

    UINT m_nIDTemplate;
    CWnd *m_pParentWnd;
};
