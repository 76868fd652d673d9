// The station's eye on the USB bus: a thread of its own that, every poll period, checks that each phone
// it reported is still there and looks for new fastboot phones, skipping the interfaces already
// reported. Every driver call of polling happens on it, so that the window stays responsive however many
// phones there are and however long the driver takes to open them.
//
// It tells the window by queueing events and posting it one message; the window takes the events on its
// own thread. It never waits for the window, so the window may stop it and wait for it at any time.
#pragma once

#include "framework/backend.h"
#include "usb/usb_device.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct PhoneEvent {
    enum Kind { ARRIVED, GONE } kind;
    std::string name;        // the interface name, as the driver gives it: where the phone is plugged
    UsbDeviceHandle *device; // ARRIVED: the open fastboot interface, owned by whoever takes the event
    UsbInterfaceInfo info;   // ARRIVED: its ids and serial number
};

class PhoneWatcher {
public:
    PhoneWatcher() = default;
    PhoneWatcher(const PhoneWatcher &) = delete;
    PhoneWatcher &operator=(const PhoneWatcher &) = delete;

    // Starts the thread. After queueing events it posts `message` (wParam and lParam 0) to `window`.
    // False when no thread could be started. Window thread, once.
    bool start(WindowHandle window, UINT message, uint32_t period_ms);

    // The events queued since the last call, oldest first; the caller owns their devices. Window thread.
    std::vector<PhoneEvent> take_events();

    // The window did not keep the phone of an ARRIVED event (it has closed it): the interface is looked
    // at again like one never seen. Window thread.
    void forget(const std::string &name);

    // Asks the thread to end and waits up to `timeout_ms` for it. True when it has ended (or never
    // started): every device of events nobody took is closed, and nothing of the watcher runs any more.
    // False when it is still inside a driver call: it then ends on its own, and the watcher, the driver
    // library and the driver table must stay. Window thread.
    bool stop(int timeout_ms);

private:
    // What the thread and the window share. The thread holds it too, so that it may finish its last
    // steps after stop() has returned without touching a watcher that is gone.
    struct Shared {
        WindowHandle window = nullptr;
        UINT message = 0;
        uint32_t period_ms = 500;

        std::mutex mutex; // guards what follows
        std::condition_variable wake;
        std::vector<PhoneEvent> events;
        std::vector<std::string> forgotten;
        bool stopping = false;
        bool running = false;

        // The thread's own: the interfaces it reported (enumeration name, interface name).
        std::vector<std::pair<std::u16string, std::string>> reported;
    };

    static void thread_entry(void *shared);
    static void poll(Shared &shared);

    std::shared_ptr<Shared> m_shared = std::make_shared<Shared>();
};
