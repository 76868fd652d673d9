// The data writes of one write endpoint handle of the WinUSB driver library, kept in flight after their
// call has returned (drivers/transfer_policy.h says which and how many).
//
// Each write is copied into a slot of the queue's own (its buffer, OVERLAPPED and event, made once and
// used again) and started as an overlapped WinUsb_WritePipe; the caller's buffer is never used after the
// call. A write that is still running when its time-out has passed, found when a later call waits for
// it, aborts the pipe. The first write that fails in flight (a time-out, a stall, fewer bytes than it
// carried, a device that has gone) makes the queue failed for good: every later call on it reports that
// failure, with the device-gone code WinUSB gave or ERROR_GEN_FAILURE, never ERROR_SEM_TIMEOUT, which
// the flasher reads as "silent, read again".
//
// Threads: any thread may call any member; calls are serialised among themselves.
#pragma once

#include "drivers/winusb/winusb_session.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace tarnex::winusb {

class WriteQueue {
public:
    // Writes to `pipe` of `session`, with at most `limit` in flight.
    WriteQueue(std::shared_ptr<Session> session, UCHAR pipe, unsigned limit);
    ~WriteQueue(); // closes first when close() has not run
    WriteQueue(const WriteQueue &) = delete;
    WriteQueue &operator=(const WriteQueue &) = delete;

    unsigned limit() const { return m_limit; }

    // Copies `length` bytes (at most IN_FLIGHT_CHUNK_MAX) into a slot and starts the write with
    // `timeout_ms` (0: none), first waiting for the oldest when `limit` are in flight. False with the
    // last-error value set: an earlier write's failure, this one's start, or ERROR_INVALID_HANDLE once
    // closed.
    bool submit(const void *data, uint32_t length, uint32_t timeout_ms);
    // Waits for every write in flight. False with the last-error value set when any write of this queue
    // has failed.
    bool drain();
    // Aborts the writes in flight (WinUsb_AbortPipe: only the worker writes on the pipe) and waits for
    // them. Later submits fail; a drain succeeds (a closed queue's failure is no one's any more).
    void close();

private:
    struct Slot;
    // Waits for the oldest write and takes it out of flight, noting its failure; a write past its
    // time-out aborts the pipe, which ends every write in flight.
    void finish_oldest();
    // Takes the result of `slot`'s write (waiting for it with `wait`) and gives the slot back, noting a
    // failure.
    void note_result(Slot *slot, bool wait);
    // Waits for every write in flight after an abort and takes them out of flight.
    void collect_aborted();
    bool fail_with_failure(); // sets the last-error value to m_failure; false

    const std::shared_ptr<Session> m_session;
    const UCHAR m_pipe;
    const unsigned m_limit;

    std::mutex m_use; // one call at a time: everything below
    std::vector<std::unique_ptr<Slot>> m_slots;
    std::vector<Slot *> m_spare;
    std::vector<Slot *>
        m_flight; // in the order they were started; at most `limit`, so erasing the front is cheap
    DWORD m_failure = ERROR_SUCCESS;
    bool m_closed = false;
};

} // namespace tarnex::winusb
