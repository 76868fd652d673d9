// The station's application object: runs the station's window as a modal dialog, and ends the
// application when it ends.
#pragma once

#include "framework/win_app.h"

class CStationApp : public CWinApp {
public:
    // Runs the station's window; returns FALSE, so that the framework ends the application.
    BOOL InitInstance() override;

    // Returns 0; ends the process on the spot when workers (or the watcher) still run ("Exit" during
    // downloads).
    int ExitInstance() override;

protected:
    // ID_HELP goes to the framework's default handler.
    const MessageMap *GetCommandMap() const override;
};

// The station's workers still running (0 without a station). Any thread.
int station_workers_running();

// Puts the process-wide state back after a station ended in a test: waits up to `timeout_ms` for the
// workers (and the watcher) it left running, frees the station, then reset_app_state. False when they
// have not ended in time. Tests only, with no window left.
bool reset_station_state(int timeout_ms);
