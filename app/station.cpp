#include "app/station.h"

#include "app/app_state.h"
#include "app/flash_sequence.h"
#include "os/os_api.h"
#include "package/image_table.h"

#include <algorithm>
#include <thread>

namespace {

constexpr char ABORTED_REASON[] = "the station was closed during the download";
constexpr char NO_THREAD_REASON[] = "the download could not be started (no thread)";

} // namespace

void Station::configure(std::vector<HardwareId> device_list, std::string host, std::string station_file,
                        uint32_t package_crc, RecordFile *record) {
    m_deviceList = std::move(device_list);
    m_host = std::move(host);
    m_stationFile = std::move(station_file);
    m_packageCrc = package_crc;
    m_record = record;
}

int Station::arrive(const std::string &name, UsbDeviceHandle *device, const UsbInterfaceInfo &info,
                    StationClock::time_point now) {
    // The row pinned to this place; else one never used; else the idle row used longest ago.
    int chosen = -1;
    for (int n = 0; n < STATION_ROWS && chosen < 0; ++n)
        if (m_rows[n].name == name)
            chosen = n;
    for (int n = 0; n < STATION_ROWS && chosen < 0; ++n)
        if (m_rows[n].name.empty())
            chosen = n;
    for (int n = 0, oldest = -1; n < STATION_ROWS && (chosen < 0 || chosen == oldest); ++n) {
        const StationRow &idle = m_rows[n];
        if (idle.held == nullptr && idle.running.load(std::memory_order_acquire) == 0 &&
            (oldest < 0 || idle.last_used < m_rows[oldest].last_used))
            chosen = oldest = n;
    }
    if (chosen < 0)
        return -1;
    StationRow &row = m_rows[chosen];
    // A download still running there (its phone left and is back before the worker noticed) keeps the
    // row until it ends; so does a phone still held (the driver names two interfaces alike).
    if (row.held != nullptr || row.running.load(std::memory_order_acquire) != 0)
        return -1;

    const std::string serial = info.serial_number;
    const bool returned = serial.empty()
                              ? row.name == name && row.last_succeeded &&
                                    now - std::max(row.succeeded_at, row.left_at) < SAME_PHONE_WINDOW
                              : m_succeededSerials.count(serial) != 0;
    if (row.name != name)
        row.last_succeeded = false;
    row.name = name;
    row.held = device;
    row.phone = info;
    row.listed = device_list_names(m_deviceList, info.vendor_id, info.product_id);
    row.may_auto_start = row.listed && !returned;
    row.status = row.listed ? ROW_READY : ROW_NOT_LISTED;
    row.position = 0;
    row.reason.clear();
    row.last_used = now;
    return chosen;
}

int Station::leave(const std::string &name, StationClock::time_point now) {
    for (int n = 0; n < STATION_ROWS; ++n) {
        StationRow &row = m_rows[n];
        if (row.held == nullptr || row.name != name)
            continue;
        let_go_of_device(row.loan, row.held);
        row.held = nullptr;
        row.may_auto_start = false;
        row.left_at = row.last_used = now;
        // Nothing happened to the phone that left: nothing to keep.
        if (row.status == ROW_READY || row.status == ROW_NOT_LISTED) {
            row.status = ROW_EMPTY;
            row.phone = {};
        }
        return n;
    }
    return -1;
}

bool Station::can_start(int n) const {
    const StationRow &row = m_rows[n];
    return row.held != nullptr && row.running.load(std::memory_order_acquire) == 0 && !m_startsStopped &&
           m_record != nullptr;
}

bool Station::start(int n, bool user_data) {
    if (!can_start(n))
        return false;
    StationRow &row = m_rows[n];
    StationUnit &unit = row.unit;
    reset_run_record(unit);
    unit.loan = &row.loan;
    unit.row = static_cast<uint32_t>(n);
    unit.user_data = user_data;
    unit.running = &row.running;
    unit.line_prefix = row.name + ": ";
    unit.observer = this;
    unit.started = std::chrono::system_clock::now();
    unit.row_name = row.name;
    unit.serial = row.phone.serial_number;
    unit.vendor = row.phone.vendor_id;
    unit.product = row.phone.product_id;
    unit.line.store(LINE_NONE);
    unit.record_error.clear();
    row.may_auto_start = false;
    // Downloading from now on, also for "Exit", before the worker's first message arrives.
    apply_state(n, STATE_DOWNLOADING, StationClock::now());

    lend_device(row.loan, row.held);
    row.running.store(1, std::memory_order_release);
    if (g_OsApi.start_thread(FlashSequence, &unit))
        return true;
    loan_never_started(row.loan);
    row.running.store(0, std::memory_order_release);
    unit.result = RUN_FAILED;
    unit.reason = NO_THREAD_REASON;
    unit.ended = std::chrono::system_clock::now();
    run_finished(unit);
    apply_state(n, STATE_FAILED, StationClock::now());
    return false;
}

void Station::apply_state(int n, intptr_t state, StationClock::time_point now) {
    if (n < 0 || n >= STATION_ROWS)
        return;
    StationRow &row = m_rows[n];
    switch (state) {
    case STATE_DOWNLOADING:
        row.status = ROW_DOWNLOADING;
        row.position = 0;
        row.reason.clear();
        break;
    case STATE_SUCCEEDED:
        row.status = ROW_SUCCEEDED;
        row.position = 100;
        row.last_succeeded = true;
        row.succeeded_at = now;
        if (!row.unit.serial.empty())
            m_succeededSerials.insert(row.unit.serial);
        ++m_succeeded;
        break;
    case STATE_FAILED:
        row.status = ROW_FAILED;
        row.position = 0;
        row.reason = row.unit.reason;
        row.last_succeeded = false;
        ++m_failed;
        break;
    default:
        break;
    }
    if ((state == STATE_SUCCEEDED || state == STATE_FAILED) && !row.unit.record_error.empty())
        stop_starts(row.unit.record_error);
}

void Station::apply_progress(int n, intptr_t bytes) {
    const uint32_t total = g_ImageTable.TotalImageBytes;
    if (n < 0 || n >= STATION_ROWS || total == 0 || bytes <= 0)
        return;
    const double step = static_cast<double>(bytes) * 100.0 / static_cast<double>(total);
    StationRow &row = m_rows[n];
    row.position = std::min(100, row.position + static_cast<int>(std::min(step, 100.0)));
}

int Station::downloading() const {
    return static_cast<int>(std::count_if(std::begin(m_rows), std::end(m_rows), [](const StationRow &row) {
        return row.status == ROW_DOWNLOADING;
    }));
}

int Station::running() const {
    int count = 0;
    for (const StationRow &row : m_rows)
        count += row.running.load(std::memory_order_acquire) != 0;
    return count;
}

void Station::stop_starts(const std::string &why) {
    if (m_startsStopped)
        return;
    m_startsStopped = true;
    m_stopReason = why;
}

void Station::record_aborted(int timeout_ms) {
    const auto ended = std::chrono::system_clock::now();
    for (StationRow &row : m_rows)
        if (row.status == ROW_DOWNLOADING)
            write_line(row.unit, RUN_ABORTED, ended, ABORTED_REASON);
    // A worker that claimed its line just before is let finish it: the process ends after this.
    const auto deadline = StationClock::now() + std::chrono::milliseconds(timeout_ms);
    for (const StationRow &row : m_rows)
        while (row.unit.line.load(std::memory_order_acquire) == LINE_WRITING &&
               StationClock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Station::release_all() {
    for (StationRow &row : m_rows) {
        let_go_of_device(row.loan, row.held);
        row.held = nullptr;
    }
}

void Station::run_finished(RunRecord &run) {
    auto &unit = static_cast<StationUnit &>(run);
    write_line(unit, unit.result, unit.ended, unit.reason);
}

std::string Station::line_of(const StationUnit &unit, RunResult result,
                             std::chrono::system_clock::time_point ended, const std::string &reason) const {
    UnitLine line;
    line.started = unit.started;
    line.ended = ended;
    line.host = m_host;
    line.row = unit.row_name;
    line.serial = unit.serial;
    line.vendor = unit.vendor;
    line.product = unit.product;
    line.station = m_stationFile;
    line.package_crc = m_packageCrc;
    line.user_data = unit.user_data;
    line.bytes = unit.accepted_bytes.load(std::memory_order_relaxed);
    line.result = result;
    line.reason = reason;
    return format_unit_line(line);
}

void Station::write_line(StationUnit &unit, RunResult result, std::chrono::system_clock::time_point ended,
                         const std::string &reason) {
    int expected = LINE_NONE;
    if (!unit.line.compare_exchange_strong(expected, LINE_WRITING, std::memory_order_acq_rel))
        return;
    std::string why;
    if (m_record == nullptr || !m_record->append(line_of(unit, result, ended, reason), &why))
        unit.record_error = why.empty() ? "there is no record file" : why;
    unit.line.store(LINE_WRITTEN, std::memory_order_release);
}
