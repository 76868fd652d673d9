#include "drivers/libusb/write_queue.h"

#include "drivers/transfer_policy.h"

#include <sys/time.h>

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
        std::lock_guard<std::mutex> guard(m_state);
        return ready();
    };
    for (;;) {
        if (libusb_try_lock_events(m_context) == 0) {
            bool done = check();
            if (!done && libusb_event_handling_ok(m_context)) {
                timeval wake = WAKE_UP;
                libusb_handle_events_locked(m_context, &wake);
            }
            libusb_unlock_events(m_context);
            if (done)
                return;
            continue;
        }
        libusb_lock_event_waiters(m_context);
        bool done = check();
        if (!done && libusb_event_handler_active(m_context)) {
            timeval wake = WAKE_UP;
            libusb_wait_for_event(m_context, &wake);
        }
        libusb_unlock_event_waiters(m_context);
        if (done)
            return;
    }
}

void WriteQueue::reap_arrived() {
    // Only when no other thread handles events: that one reaps them anyway.
    if (libusb_try_lock_events(m_context) != 0)
        return;
    if (libusb_event_handling_ok(m_context)) {
        timeval now = {0, 0};
        libusb_handle_events_locked(m_context, &now);
    }
    libusb_unlock_events(m_context);
}

bool WriteQueue::all_done() const {
    for (const Slot *slot : m_flight) {
        if (!slot->done)
            return false;
    }
    return true;
}

void WriteQueue::retire_finished() {
    while (!m_flight.empty()) {
        Slot *slot = m_flight.front();
        {
            std::lock_guard<std::mutex> guard(m_state);
            if (!slot->done)
                return;
        }
        m_flight.erase(m_flight.begin());
        if (m_failure == 0)
            m_failure = failure_of(slot->transfer);
        m_spare.push_back(slot);
    }
}

bool WriteQueue::submit(const void *data, uint32_t length, uint32_t timeout_ms, int &error) {
    std::lock_guard<std::mutex> use(m_use);
    if (m_closed || length > drivers::IN_FLIGHT_CHUNK_MAX) {
        error = m_closed ? EBADF : EINVAL;
        return false;
    }
    if (!m_flight.empty())
        reap_arrived();
    retire_finished();
    if (m_failure == 0 && m_flight.size() >= m_limit) {
        Slot *oldest = m_flight.front();
        wait_until([&] { return oldest->done; });
        retire_finished();
    }
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
    // No zero-length packet after a chunk that ends on a packet boundary: the device counts bytes.
    libusb_fill_bulk_transfer(slot->transfer, m_handle, m_endpoint, slot->bytes.get(),
                              static_cast<int>(length), &WriteQueue::completed, slot, timeout_ms);
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
    wait_until([&] { return all_done(); });
    retire_finished();
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
    for (Slot *slot : m_flight)
        libusb_cancel_transfer(slot->transfer);
    wait_until([&] { return all_done(); });
    retire_finished();
}

} // namespace tarnex::libusb_driver
