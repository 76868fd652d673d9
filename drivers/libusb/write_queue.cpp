#include "drivers/libusb/write_queue.h"

#include "drivers/transfer_policy.h"

#include <cerrno>
#include <cstring>

namespace tarnex::libusb_driver {

namespace {

// How a finished write ended, as the error the next call reports: a transfer that did not carry every
// byte is a failure whatever libusb says, and a time-out in flight is not "the device is silent".
int failure_of(const libusb_transfer *transfer) {
    if (transfer->status == LIBUSB_TRANSFER_COMPLETED && transfer->actual_length == transfer->length)
        return 0;
    return transfer->status == LIBUSB_TRANSFER_NO_DEVICE ? ENODEV : EIO;
}

// The longest a waiter sleeps in libusb before it looks at its condition again; completions wake it
// sooner.
constexpr timeval WAKE_UP = {1, 0};

} // namespace

struct WriteQueue::Slot {
    WriteQueue *owner = nullptr;
    libusb_transfer *transfer = nullptr;
    std::unique_ptr<unsigned char[]> bytes;
    uint32_t timeout_ms = 0;    // the caller's, 0 for none
    bool clock_running = false; // a waiting call has found it the oldest in flight
    Clock::time_point deadline{};
    bool cancelled = false;
    bool done = false; // under owner->m_state

    ~Slot() {
        if (transfer != nullptr)
            libusb_free_transfer(transfer);
    }
};

WriteQueue::WriteQueue(libusb_context *context, libusb_device_handle *handle, unsigned char endpoint,
                       unsigned limit)
    : m_context(context), m_handle(handle), m_endpoint(endpoint), m_limit(limit) {
    // Made once: a write then allocates nothing once its slots exist.
    m_flight.reserve(limit);
    m_spare.reserve(limit);
}

WriteQueue::~WriteQueue() {
    close();
}

void LIBUSB_CALL WriteQueue::completed(libusb_transfer *transfer) {
    auto *slot = static_cast<Slot *>(transfer->user_data);
    std::lock_guard<std::mutex> guard(slot->owner->m_state);
    slot->done = true;
}

// The way libusb's own synchronous calls wait, with our condition in place of their completion flag:
// the condition is checked holding the event lock (no completion can run then) or the event waiters'
// lock (a completion's wake-up cannot pass unseen), so a completion is never missed between the check
// and the wait.
template <typename Ready>
void WriteQueue::wait_until(Ready ready) {
    auto check = [&] {
        retire_finished();
        return ready();
    };
    for (;;) {
        timeval wake = next_wake();
        if (libusb_try_lock_events(m_context) == 0) {
            bool done = check();
            if (!done && libusb_event_handling_ok(m_context))
                libusb_handle_events_locked(m_context, &wake);
            libusb_unlock_events(m_context);
            if (done)
                return;
            continue;
        }
        libusb_lock_event_waiters(m_context);
        bool done = check();
        if (!done && libusb_event_handler_active(m_context))
            libusb_wait_for_event(m_context, &wake);
        libusb_unlock_event_waiters(m_context);
        if (done)
            return;
    }
}

timeval WriteQueue::next_wake() {
    timeval wake = WAKE_UP;
    if (m_flight.empty())
        return wake;
    Slot *oldest = m_flight.front();
    if (oldest->timeout_ms == 0 || oldest->cancelled)
        return wake;
    Clock::time_point now = Clock::now();
    if (!oldest->clock_running) {
        oldest->clock_running = true;
        oldest->deadline = now + std::chrono::milliseconds(oldest->timeout_ms);
    }
    if (now >= oldest->deadline) {
        // It ends as cancelled, which is the failure the next call reports; one that finished meanwhile
        // refuses the cancel (LIBUSB_ERROR_NOT_FOUND) and counts as finished.
        oldest->cancelled = true;
        libusb_cancel_transfer(oldest->transfer);
        return wake;
    }
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(oldest->deadline - now).count();
    if (left < static_cast<long long>(wake.tv_sec) * 1000000 + wake.tv_usec) {
        wake.tv_sec = static_cast<time_t>(left / 1000000);
        wake.tv_usec = static_cast<suseconds_t>(left % 1000000);
    }
    return wake;
}

void WriteQueue::retire_finished() {
    size_t finished = 0;
    {
        std::lock_guard<std::mutex> guard(m_state);
        while (finished < m_flight.size() && m_flight[finished]->done)
            ++finished;
    }
    if (finished == 0)
        return;
    bool failed_before = m_failure != 0;
    for (size_t i = 0; i < finished; ++i) {
        Slot *slot = m_flight[i];
        if (m_failure == 0)
            m_failure = failure_of(slot->transfer);
        m_spare.push_back(slot);
    }
    m_flight.erase(m_flight.begin(), m_flight.begin() + static_cast<std::ptrdiff_t>(finished));
    // The data phase has a hole now: what is behind the failed write must not reach the device, and a
    // device that stopped taking it would keep each of them waiting for its own time-out.
    if (!failed_before && m_failure != 0) {
        for (Slot *slot : m_flight) {
            if (!slot->cancelled) {
                slot->cancelled = true;
                libusb_cancel_transfer(slot->transfer);
            }
        }
    }
}

bool WriteQueue::submit(const void *data, uint32_t length, uint32_t timeout_ms, int &error) {
    std::lock_guard<std::mutex> use(m_use);
    if (m_closed || length > drivers::IN_FLIGHT_CHUNK_MAX) {
        error = m_closed ? EBADF : EINVAL;
        return false;
    }
    // Room is made only when there is none: finished writes are reaped in batches, by a wait that is due
    // anyway, not by a look into the kernel on every call.
    if (m_failure == 0 && m_flight.size() >= m_limit)
        wait_until([&] { return m_failure != 0 || m_flight.size() < m_limit; });
    if (m_failure != 0) {
        error = m_failure;
        return false;
    }

    Slot *slot = nullptr;
    if (!m_spare.empty()) {
        slot = m_spare.back();
        m_spare.pop_back();
    } else {
        auto made = std::make_unique<Slot>();
        made->owner = this;
        made->bytes = std::make_unique<unsigned char[]>(drivers::IN_FLIGHT_CHUNK_MAX);
        made->transfer = libusb_alloc_transfer(0);
        if (made->transfer == nullptr) {
            error = ENOMEM;
            return false;
        }
        slot = made.get();
        m_slots.push_back(std::move(made));
    }
    std::memcpy(slot->bytes.get(), data, length);
    // No zero-length packet after a chunk that ends on a packet boundary: the device counts bytes. No
    // time-out of libusb's: the queue keeps its own (next_wake).
    libusb_fill_bulk_transfer(slot->transfer, m_handle, m_endpoint, slot->bytes.get(),
                              static_cast<int>(length), &WriteQueue::completed, slot, 0);
    slot->timeout_ms = timeout_ms;
    slot->clock_running = false;
    slot->cancelled = false;
    {
        std::lock_guard<std::mutex> guard(m_state);
        slot->done = false;
    }
    int rc = libusb_submit_transfer(slot->transfer);
    if (rc != LIBUSB_SUCCESS) {
        // These bytes never go out: the data phase has a hole, whatever happens after.
        m_spare.push_back(slot);
        m_failure = rc == LIBUSB_ERROR_NO_DEVICE ? ENODEV : EIO;
        error = m_failure;
        return false;
    }
    m_flight.push_back(slot);
    return true;
}

bool WriteQueue::drain(int &error) {
    std::lock_guard<std::mutex> use(m_use);
    if (m_closed)
        return true;
    wait_until([&] { return m_flight.empty(); });
    if (m_failure != 0) {
        error = m_failure;
        return false;
    }
    return true;
}

void WriteQueue::close() {
    std::lock_guard<std::mutex> use(m_use);
    if (m_closed)
        return;
    m_closed = true;
    // A transfer that finished meanwhile refuses the cancel (LIBUSB_ERROR_NOT_FOUND): it is done anyway.
    for (Slot *slot : m_flight) {
        slot->cancelled = true;
        libusb_cancel_transfer(slot->transfer);
    }
    wait_until([&] { return m_flight.empty(); });
}

} // namespace tarnex::libusb_driver
