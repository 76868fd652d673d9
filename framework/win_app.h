// The application object: its initialisation, its main window, its command table and the framework's
// message box; and the framework's main routine that runs it.
#pragma once

#include "framework/dialog.h"

#include <atomic>
#include <string>

// The standard Help command of an application's command table.
inline constexpr UINT ID_HELP = 57670; // 0xE146

class CWinApp : public CCmdTarget {
public:
    // Makes this object the application that AfxGetApp returns (the last one constructed). A program
    // has one, constructed during static initialisation; tests construct one per start-up.
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp &) = delete;
    CWinApp &operator=(const CWinApp &) = delete;

    // The application's initialisation, on the main thread. TRUE would ask for a message loop of the
    // application's own; a dialog-based application runs its dialog here and returns FALSE, which ends
    // the application.
    virtual BOOL InitInstance() { return FALSE; }

    // Runs once after InitInstance; returns the process's exit code.
    virtual int ExitInstance() { return 0; }

    // A command that no window handled (WM_COMMAND). True when the application's command table has it.
    virtual bool OnCmdMsg(UINT id, UINT code);

    // Nothing to do on this framework: every control has the current look. Kept, with
    // AfxEnableControlContainer, so that an application's initialisation reads as usual.
    void Enable3dControls() {}

    // The default handler of ID_HELP. There is no help file to open: the command is accepted and
    // nothing happens.
    void OnHelp() {}

    // The main window, read by other threads through AfxGetMainWnd. Not owned.
    std::atomic<CWnd *> m_pMainWnd{nullptr};

    // The application's name: the executable's file name without extension. Set by AfxWinMain before
    // InitInstance; the caption of AfxMessageBox.
    std::string m_strAppName;

protected:
    // The application's command table (on_command entries, handlers members of the application), or
    // null.
    virtual const MessageMap *GetCommandMap() const { return nullptr; }
};

// Control containment needs nothing on this framework: every control class is registered by the backend.
inline void AfxEnableControlContainer() {}

// The application object, or null. Any thread.
CWinApp *AfxGetApp();

// The application's main window, or null. Any thread: the worker finds the window this way.
CWnd *AfxGetMainWnd();

// A message box owned by the main window, with the application's name as caption; `type` holds MB_*
// flags. Returns the button chosen. Thread of the main window.
int AfxMessageBox(const char *text, UINT type = MB_OK);

// The framework's main routine: names the application, prepares the backend, runs InitInstance and
// then ExitInstance, and returns the exit code. Main thread. Returns 1 when there is no application.
int AfxWinMain();

// Makes `window` the target of the core's synchronous reports (framework/main_window.h), by handle: a
// report that arrives after the window is gone returns 0 instead of touching it. Null stops the
// reports. Window thread; CDialog does this for the application's main window by itself.
void link_main_window(WindowHandle window);
