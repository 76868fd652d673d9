#include "drivers/winusb/write_queue.h"

#include "drivers/transfer_policy.h"

#include <algorithm>
#include <cstring>

namespace tarnex::winusb {

struct WriteQueue::Slot {
    OVERLAPPED overlapped = {};
    HANDLE event = nullptr;
    uint32_t length = 0;
    ULONGLONG deadline = 0; // GetTickCount64() after which the write has timed out; 0: never
    uint8_t bytes[drivers::IN_FLIGHT_CHUNK_MAX];

    ~Slot() {
        if (event != nullptr)
            CloseHandle(event);
    }
};

WriteQueue::WriteQueue(std::shared_ptr<Session> session, UCHAR pipe, unsigned limit)
    : m_session(std::move(session)), m_pipe(pipe), m_limit(limit) {
    // Made once: a write then allocates nothing once its slots exist.
    m_flight.reserve(limit);
    m_spare.reserve(limit);
}

WriteQueue::~WriteQueue() {
    close();
}

bool WriteQueue::fail_with_failure() {
    SetLastError(m_failure);
    return false;
}

void WriteQueue::note_result(Slot *slot, bool wait) {
    uint32_t moved = 0;
    DWORD error = ERROR_SUCCESS;
    if (!m_session->overlapped_result(&slot->overlapped, &moved, wait))
        error = GetLastError();
    else if (moved != slot->length)
        error = ERROR_GEN_FAILURE; // a write that carried fewer bytes than it held left a hole
    // A failure is reported as the device gone, or as a failure: never as the time-out code (an abort
    // of ours included).
    if (error != ERROR_SUCCESS && !means_device_gone(error))
        error = ERROR_GEN_FAILURE;
    if (m_failure == ERROR_SUCCESS)
        m_failure = error;
    m_spare.push_back(slot);
}

void WriteQueue::collect_aborted() {
    for (Slot *slot : m_flight)
        note_result(slot, true);
    m_flight.clear();
}

void WriteQueue::finish_oldest() {
    Slot *slot = m_flight.front();
    DWORD wait = INFINITE;
    if (slot->deadline != 0) {
        ULONGLONG now = GetTickCount64();
        wait = now >= slot->deadline
                   ? 0
                   : static_cast<DWORD>(std::min<ULONGLONG>(slot->deadline - now, INFINITE - 1));
    }
    if (WaitForSingleObject(slot->event, wait) != WAIT_OBJECT_0) {
        // Past its time-out: it and the writes behind it are ended, and fail unless they made it.
        m_session->abort_pipe(m_pipe);
        collect_aborted();
        return;
    }
    m_flight.erase(m_flight.begin());
    note_result(slot, false);
}

bool WriteQueue::submit(const void *data, uint32_t length, uint32_t timeout_ms) {
    std::lock_guard<std::mutex> use(m_use);
    if (m_closed || length > drivers::IN_FLIGHT_CHUNK_MAX) {
        SetLastError(m_closed ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
        return false;
    }
    // Writes that have ended are taken out without waiting, so that a failure shows at once.
    while (m_failure == ERROR_SUCCESS && !m_flight.empty() &&
           WaitForSingleObject(m_flight.front()->event, 0) == WAIT_OBJECT_0)
        finish_oldest();
    if (m_failure == ERROR_SUCCESS && m_flight.size() >= m_limit)
        finish_oldest();
    if (m_failure != ERROR_SUCCESS)
        return fail_with_failure();

    Slot *slot = nullptr;
    if (!m_spare.empty()) {
        slot = m_spare.back();
        m_spare.pop_back();
    } else {
        auto made = std::make_unique<Slot>();
        made->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (made->event == nullptr)
            return false;
        slot = made.get();
        m_slots.push_back(std::move(made));
    }
    std::memcpy(slot->bytes, data, length);
    slot->length = length;
    slot->deadline = timeout_ms == 0 ? 0 : GetTickCount64() + timeout_ms;
    slot->overlapped = {};
    slot->overlapped.hEvent = slot->event;
    ResetEvent(slot->event);
    if (!m_session->start_write(m_pipe, slot->bytes, length, &slot->overlapped)) {
        // These bytes never go out: the data phase has a hole, whatever happens after.
        DWORD error = GetLastError();
        m_spare.push_back(slot);
        m_failure = means_device_gone(error) ? error : ERROR_GEN_FAILURE;
        return fail_with_failure();
    }
    m_flight.push_back(slot);
    return true;
}

bool WriteQueue::drain() {
    std::lock_guard<std::mutex> use(m_use);
    if (m_closed)
        return true;
    while (!m_flight.empty())
        finish_oldest();
    return m_failure == ERROR_SUCCESS || fail_with_failure();
}

void WriteQueue::close() {
    std::lock_guard<std::mutex> use(m_use);
    if (m_closed)
        return;
    m_closed = true;
    if (m_flight.empty())
        return; // above all no abort: the pipe may carry another handle's writes
    m_session->abort_pipe(m_pipe);
    collect_aborted();
}

} // namespace tarnex::winusb
