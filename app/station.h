// The station's rows and the rules they follow, apart from any window: which row a phone that arrives
// sits in, what a row shows, which phones start by themselves, the downloads' workers, the counters and
// the record line of every unit. The station's window (app/station_dlg.h) owns one and shows it.
//
// Everything here runs on the window thread, except run_finished, which each worker calls on its own
// thread with its own unit. A row's unit is the worker's until the row's running mark is cleared.
#pragma once

#include "app/device_list.h"
#include "app/record_file.h"
#include "app/run_record.h"
#include "res/resource.h"
#include "usb/usb_device.h"

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <vector>

inline constexpr int STATION_ROWS = STATION_ROW_COUNT;

// A phone without a serial number counts as the one that succeeded at a row when it comes back to that
// row within this time: a phone that reboots into fastboot mode after its download is not flashed again.
inline constexpr std::chrono::seconds SAME_PHONE_WINDOW{30};

using StationClock = std::chrono::steady_clock;

// What a row shows.
enum RowStatus {
    ROW_EMPTY,       // no phone, no outcome to keep
    ROW_READY,       // a phone in the device list, waiting
    ROW_NOT_LISTED,  // a fastboot phone the device list does not name: started by hand only
    ROW_DOWNLOADING, // its worker runs
    ROW_SUCCEEDED,   // the last outcome there, kept until a phone arrives there again
    ROW_FAILED,
};

// Who writes a unit's record line: the worker when it ends, or the station for a phone still running
// when the station closes; whoever claims it first.
enum UnitLineState : int { LINE_NONE, LINE_WRITING, LINE_WRITTEN };

// One download: the worker's run record with what the row knew of the phone when it started.
struct StationUnit : RunRecord {
    std::string row_name;
    std::string serial;
    uint16_t vendor = 0, product = 0;
    std::atomic<int> line{LINE_NONE};
    std::string record_error; // why its line could not be written (by the worker, before its final state)
};

struct StationRow {
    std::string name;                // where the row is pinned: the interface name; empty while unused
    UsbDeviceHandle *held = nullptr; // the phone plugged there now, or null
    UsbInterfaceInfo phone = {};     // the last phone seen there
    bool listed = false;             // the device list names it
    bool may_auto_start = false;     // it arrived, is listed, and is not one that already succeeded
    RowStatus status = ROW_EMPTY;
    int position = 0; // the progress bar, 0..100
    std::string reason;
    bool last_succeeded = false; // the last outcome there, and when it came
    StationClock::time_point succeeded_at, left_at, last_used;

    DeviceLoan loan;
    std::atomic<int32_t> running{0}; // 1 while its worker runs; the worker clears it last
    StationUnit unit;
};

class Station : public RunObserver {
public:
    // What every record line carries besides its unit, and where lines go (`record` may be null: no
    // starts). Before the first phone.
    void configure(std::vector<HardwareId> device_list, std::string host, std::string station_file,
                   uint32_t package_crc, RecordFile *record);

    StationRow &row(int n) { return m_rows[n]; }
    const StationRow &row(int n) const { return m_rows[n]; }

    // A fastboot phone arrived at `name`: the row that now holds `device`, or -1 when no row can take it
    // now (every row holds a phone, or the row of that name still runs a download) and the caller keeps
    // the device.
    int arrive(const std::string &name, UsbDeviceHandle *device, const UsbInterfaceInfo &info,
               StationClock::time_point now);

    // The phone at `name` left: its row lets go of the device (its worker keeps it until it ends). The row,
    // or -1 when none held it.
    int leave(const std::string &name, StationClock::time_point now);

    // Whether the row's phone may be started by hand: present, not downloading, starts not stopped.
    bool can_start(int row) const;

    // Starts the row's download with `user_data`, the row's name before each of its lines on standard
    // error. False when its thread could not be started: the row then shows the failure, recorded and
    // counted like any other.
    bool start(int row, bool user_data);

    // The worker's state message (WM_DOWNLOAD_STATE) for `row`, and its progress report of `bytes`.
    void apply_state(int row, intptr_t state, StationClock::time_point now);
    void apply_progress(int row, intptr_t bytes);

    int succeeded() const { return m_succeeded; }
    int failed() const { return m_failed; }

    // The rows whose worker runs.
    int running() const;

    // The rows whose download has not ended yet (a worker that has reported its outcome may still be
    // running for a moment, giving back its phone).
    int downloading() const;

    // Stops every start from now on, for `why` (a record that cannot be written). The first reason stays.
    void stop_starts(const std::string &why);
    bool starts_stopped() const { return m_startsStopped; }
    const std::string &stop_reason() const { return m_stopReason; }

    // The station closes while phones download: each that has not ended gets an "aborted" line (unless
    // its worker has just claimed its line), and every line being written is waited for, `timeout_ms` at
    // most.
    void record_aborted(int timeout_ms);

    // Lets go of every held device (Exit).
    void release_all();

    // The worker's outcome: writes its line. Worker thread.
    void run_finished(RunRecord &run) override;

    // The text of a unit's line, for `result` at `ended`.
    std::string line_of(const StationUnit &unit, RunResult result,
                        std::chrono::system_clock::time_point ended, const std::string &reason) const;

private:
    void write_line(StationUnit &unit, RunResult result, std::chrono::system_clock::time_point ended,
                    const std::string &reason);

    StationRow m_rows[STATION_ROWS];
    std::vector<HardwareId> m_deviceList;
    std::string m_host, m_stationFile;
    uint32_t m_packageCrc = 0;
    RecordFile *m_record = nullptr;
    std::set<std::string> m_succeededSerials;
    int m_succeeded = 0, m_failed = 0;
    bool m_startsStopped = false;
    std::string m_stopReason;
};
