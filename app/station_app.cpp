#include "app/station_app.h"

#include "app/app_state.h"
#include "app/station_dlg.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// The station of this process: the window object, which also holds every worker's unit and loan. It
// outlives its window while workers run (they write into it until they end) and is then left to them.
std::atomic<CStationDlg *> g_Station{nullptr};

} // namespace

BOOL CStationApp::InitInstance() {
    AfxEnableControlContainer();
    Enable3dControls();

    auto *dialog = new CStationDlg;
    g_Station = dialog;
    m_pMainWnd = dialog;
    dialog->DoModal();
    m_pMainWnd = nullptr;
    if (dialog->m_station.running() == 0 && dialog->m_watcherEnded) {
        g_Station = nullptr;
        delete dialog;
    }
    return FALSE;
}

int CStationApp::ExitInstance() {
    // Workers may be inside the driver library or blocked on silent phones; they are not waited for.
    // The process ends here, before static destructors and library finalizers could free what they use.
    // A station left behind still has workers (or its watcher) running.
    if (g_Station.load() != nullptr)
        g_AppSeams.end_process(0);
    return CWinApp::ExitInstance();
}

const MessageMap *CStationApp::GetCommandMap() const {
    static constexpr MessageMapEntry entries[] = {on_command<&CWinApp::OnHelp>(ID_HELP, 0)};
    static constexpr MessageMap map = {entries, std::size(entries)};
    return &map;
}

int station_workers_running() {
    CStationDlg *station = g_Station.load();
    return station != nullptr ? station->m_station.running() : 0;
}

bool reset_station_state(int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    if (CStationDlg *station = g_Station.load()) {
        while (station->m_station.running() != 0) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (!station->m_watcherEnded && !station->m_watcher.stop(timeout_ms))
            return false;
        g_Station = nullptr;
        delete station;
    }
    return reset_app_state(0);
}
