// The data writes of one bulk OUT endpoint handle of the libusb driver library, kept in flight after
// their call has returned (drivers/transfer_policy.h says which and how many).
//
// Each write is copied into a libusb transfer of the queue's own and submitted; the caller's buffer is
// never used after the call. Completions are reaped by whichever thread handles libusb's events: a
// caller that waits (a full queue, a drain, a close) handles them itself, as libusb's synchronous calls
// do, so the library runs no thread of its own. The first write that fails in flight (a time-out, a
// stall, fewer bytes than it carried, a device that has gone) makes the queue failed for good: every
// later call on it reports that failure with ENODEV for a device that has gone and EIO otherwise, never
// ETIMEDOUT, which the flasher reads as "silent, read again".
//
// Threads: any thread may call any member; calls are serialised among themselves. The completion
// callback only marks a transfer done under a lock that nothing holds while handling libusb's events.
#pragma once

#include <libusb.h>

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
    // `timeout_ms` (0: none), first waiting for the oldest when `limit` are in flight. False with `error`:
    // an earlier write's failure, this submission's, or EBADF once closed.
    bool submit(const void *data, uint32_t length, uint32_t timeout_ms, int &error);
    // Waits for every write in flight. False with `error` when any write of this queue has failed.
    bool drain(int &error);
    // Cancels the writes in flight and waits for them to end. Later calls fail with EBADF; a drain
    // succeeds (a closed queue's failure is no one's any more).
    void close();

private:
    struct Slot;
    static void LIBUSB_CALL completed(libusb_transfer *transfer);
    // Handles libusb's events until `ready` holds; `ready` runs with m_state held.
    template <typename Ready>
    void wait_until(Ready ready);
    // Reaps the completions that have arrived, without waiting: a failure shows at the next call, and
    // finished transfers are free for the next chunks.
    void reap_arrived();
    // Takes the finished transfers at the front out of flight, noting the first failure.
    void retire_finished();
    bool all_done() const; // m_state held

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
