// The flasher's program entry on Linux: the application on a Qt 6 window (the Qt backend of the dialog
// framework), from the same dialog templates as the Windows program.
#include "framework/qt/qt_backend.h"

#include <cstdio>

// The same entry makes the station (tarnex-station) with the station's application object.
#ifdef TARNEX_STATION
#include "app/station_app.h"
CStationApp theApp;
#else
#include "app/download_app.h"
CDownloadApp theApp;
#endif

int main() {
    // The protocol lines go to standard error as they happen, also into a pipe or a file, and "Exit"
    // during a download ends the process without flushing: no buffer at all.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::setvbuf(stderr, nullptr, _IONBF, 0);
    const int exit_code = AfxWinMain();
    qt_shutdown();
    return exit_code;
}
