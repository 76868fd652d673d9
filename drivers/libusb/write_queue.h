// The data writes of one bulk OUT endpoint handle of the libusb driver library, kept in flight after
// their call has returned (drivers/transfer_policy.h says which and how many).
//
// Each write is copied into a libusb transfer of the queue's own and submitted; the caller's buffer is
// never used after the call. Completions are reaped by whichever thread handles libusb's events: a
// caller that waits (a full queue, a drain, a close) handles them itself, as libusb's synchronous calls
// do, so the library runs no thread of its own. The first write that fails in flight (a time-out, a
// stall, fewer bytes than it carried, a device that has gone) makes the queue failed for good: the writes
// behind it are cancelled, and every later call on it reports that failure with ENODEV for a device that
// has gone and EIO otherwise, never ETIMEDOUT, which the flasher reads as "silent, read again".
//
// Cost per write: one submission. Finished writes are reaped only when a call has to wait anyway (the
// queue is full, a drain, a close), in batches, and the time-outs are the queue's own: a write's time-out
// runs from the moment a waiting call finds it the oldest in flight (the one the device is asked to take
// first), and that write is cancelled once it passes. So a write costs no clock reading and no timer of
// libusb's, which would each be a call into the kernel per write.
//
// Threads: any thread may call any member; calls are serialised among themselves. The completion
// callback only marks a transfer done under a lock that nothing holds while handling libusb's events.
#pragma once

#include <libusb.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tarnex::libusb_driver {

class WriteQueue {
public:
    // Writes to `endpoint` of `handle`, which must stay open until close() has returned, with at most
    // `limit` transfers in flight.
    WriteQueue(libusb_context *context, libusb_device_handle *handle, unsigned char endpoint, unsigned limit);
    ~WriteQueue(); // closes first when close() has not run
    WriteQueue(const WriteQueue &) = delete;
    WriteQueue &operator=(const WriteQueue &) = delete;

    unsigned limit() const { return m_limit; }

    // Copies `length` bytes (at most IN_FLIGHT_CHUNK_MAX) into a transfer and submits it with
    // `timeout_ms` (0: none), first waiting for room when `limit` are in flight. False with `error`: an
    // earlier write's failure, this submission's, or EBADF once closed.
    bool submit(const void *data, uint32_t length, uint32_t timeout_ms, int &error);
    // Waits for every write in flight. False with `error` when any write of this queue has failed.
    bool drain(int &error);
    // Cancels the writes in flight and waits for them to end. Later calls fail with EBADF; a drain
    // succeeds (a closed queue's failure is no one's any more).
    void close();

private:
    struct Slot;
    using Clock = std::chrono::steady_clock;
    static void LIBUSB_CALL completed(libusb_transfer *transfer);
    // Handles libusb's events until `ready` holds, checked after the finished transfers are retired.
    template <typename Ready>
    void wait_until(Ready ready);
    // Takes the finished transfers at the front out of flight, noting the first failure (and cancelling
    // what is behind it).
    void retire_finished();
    // Enforces the oldest write's time-out (cancels it once passed) and returns how long a wait may last
    // before it must look again.
    timeval next_wake();

    libusb_context *const m_context;
    libusb_device_handle *const m_handle;
    const unsigned char m_endpoint;
    const unsigned m_limit;

    std::mutex m_use;   // one call at a time: everything below but the slots' `done`
    std::mutex m_state; // the slots' `done`, which the completion callback sets
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<Slot *> m_spare;
    std::vector<Slot *>
        m_flight; // in the order they were submitted; at most `limit`, so erasing the front is cheap
    int m_failure = 0;
    bool m_closed = false;
};

} // namespace tarnex::libusb_driver
