// The flasher's program entry on Windows: the application on real windows (the Win32 backend of the
// dialog framework), from the dialog templates in its resources.
#include <windows.h>

#include <cstdio>

// The same entry makes the station (tarnex-station) with the station's application object.
#ifdef TARNEX_STATION
#include "app/station_app.h"
CStationApp theApp;
#else
#include "app/download_app.h"
CDownloadApp theApp;
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // The protocol lines go to standard error as they happen. A window program's streams are fully
    // buffered when they lead to a pipe or a file, and "Exit" during a download ends the process without
    // flushing them: no buffer at all.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    return AfxWinMain();
}
