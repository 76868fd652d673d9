// The application object: runs the main window as a modal dialog, and ends the application when it ends.
#pragma once

#include "framework/win_app.h"

class CDownloadApp : public CWinApp {
public:
    // Runs the main window; returns FALSE, so that the framework ends the application.
    BOOL InitInstance() override;

    // Returns 0; ends the process on the spot when a worker still runs ("Exit" during a download).
    int ExitInstance() override;

protected:
    // ID_HELP goes to the framework's default handler.
    const MessageMap *GetCommandMap() const override;
};
