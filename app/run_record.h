// One download of one phone: what its worker is given when it starts and what it leaves behind when it
// ends. The one-phone flasher runs one record at a time with row 0; the station one per phone.
#pragma once

#include "app/held_device.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

// How a download ended. RUN_ABORTED is never the worker's own verdict: it is recorded for a phone whose
// worker still ran when the station was closed.
enum RunResult : int32_t {
    RUN_UNFINISHED = 0,
    RUN_SUCCEEDED = 1,
    RUN_FAILED = 2,
    RUN_ABORTED = 3,
};

struct RunRecord;

// Told on the worker thread, once the outcome is in the record and before the worker sends its final
// state, so that what it writes (the station's record line) is on disk before anybody sees the outcome.
class RunObserver {
public:
    virtual void run_finished(RunRecord &run) = 0;

protected:
    ~RunObserver() = default;
};

struct RunRecord {
    // --- Set by the window thread before the worker starts, then only read.
    DeviceLoan *loan = nullptr;              // the device lent to the worker
    uint32_t row = 0;                        // progress_tag, and wParam of WM_DOWNLOAD_STATE
    bool user_data = false;                  // "UserData" as it was when the download started
    std::atomic<int32_t> *running = nullptr; // the mark the worker clears as its very last act
    std::string line_prefix;                 // before each of its lines on standard error ("": none)
    RunObserver *observer = nullptr;         // may be null
    std::chrono::system_clock::time_point started;

    // --- Counted by the worker while it runs (readable from any thread).
    std::atomic<uint64_t> accepted_bytes{0}; // the data phases the phone accepted, by the sizes it asked for

    // --- Written by the worker before it sends its final state; read by others after that message.
    std::chrono::system_clock::time_point ended;
    RunResult result = RUN_UNFINISHED;
    std::string reason; // the text of its FAILED line; empty on success
};

// Makes `run` ready for the next download (window thread, no worker using it).
void reset_run_record(RunRecord &run);
