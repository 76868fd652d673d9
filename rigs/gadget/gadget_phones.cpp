#include "rigs/gadget/gadget_phones.h"

#include "drivers/sim/phone.h"
#include "drivers/sim/transcript.h"
#include "rigs/gadget/host_monitor.h"
#include "rigs/gadget/usb_gadget.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tarnex::gadget {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The largest piece of a data phase read at once: a few kernel requests' worth, so that the phone's side
// costs little next to the host's, and small enough for the kernel to find the memory for it.
constexpr uint32_t MAX_DATA_READ = 256 * 1024;
// Every reply of the phone goes out whole, in one transfer, as a phone sends it: also one longer than
// the host asked for, which the host's driver must cut to what was asked.
constexpr uint32_t REPLY_CAPACITY = sim::SCENARIO_RAW_REPLY_MAX;
// How often the bus thread looks at rebooting phones when nothing else happens.
constexpr auto BUS_TICK = 20ms;
// The longest a bind or an unbind may take on a machine that emulates its processor.
constexpr auto BIND_TIMEOUT = 30s;
// A blocked read or write of an endpoint is ended by this signal (its handler does nothing, and it is
// installed without SA_RESTART, so the call returns EINTR).
constexpr int WAKE_SIGNAL = SIGUSR1;

void on_wake(int) {}

// A gadget sees packets, not the host driver's calls: rules about those calls cannot be served here.
bool check_servable(const sim::DeviceConfig &c, std::string &error) {
    if (c.endpoints != 2) {
        error = c.label + ": the gadget phone makes interfaces with two endpoints, not " +
                std::to_string(c.endpoints);
        return false;
    }
    for (const auto &rule : c.rules) {
        const char *what = nullptr;
        if (rule.trigger == sim::TriggerKind::OPEN_INDEX)
            what = "'open#K' rules (the host opens a device without telling it)";
        else if (rule.action == sim::ActionKind::TIMEOUTS || rule.action == sim::ActionKind::FINAL_TIMEOUTS)
            what = "counted time-outs (the host's reads that time out never reach the device)";
        else if (rule.action == sim::ActionKind::SHORT_WRITE)
            what = "short writes (the host's writes reach the device as packets, not as calls)";
        if (what != nullptr) {
            error = "scenario line " + std::to_string(rule.line) + ": a gadget phone cannot serve " + what;
            return false;
        }
    }
    return true;
}

// A thread that may be blocked in a read or write of an endpoint.
struct Worker {
    std::thread thread;
    std::atomic<bool> done{false};

    template <typename Fn>
    void start(Fn fn) {
        thread = std::thread([this, fn] {
            fn();
            done = true;
        });
    }

    // Wakes the thread until it has seen that it must end, then joins it. The signal is sent again and
    // again because one sent just before the thread enters its call would be lost.
    void stop() {
        if (!thread.joinable())
            return;
        while (!done) {
            pthread_kill(thread.native_handle(), WAKE_SIGNAL);
            std::this_thread::sleep_for(5ms);
        }
        thread.join();
    }
};

struct Slot {
    std::unique_ptr<sim::Phone> phone;
    std::unique_ptr<UsbGadget> gadget;
    std::string controller;
    int host_bus = -1; // the host's bus number that the gadget appears on
    bool bound = false;
    uint32_t bound_generation = 0; // the phone's generation when the gadget was bound
    bool delivering_last = false;  // the reply after which the phone leaves is on its way to the host
    std::string bus_error;         // the last bind or unbind that failed
    std::optional<Clock::time_point> phase_start; // of the data phase under way, from its DATA reply
    uint32_t phase_size = 0;
    DataPhaseStats stats;
    // The order for data phases (GadgetPhones::order) and how far the OUT thread has obeyed it.
    DataPhases order = DataPhases::TAKEN;
    uint32_t order_at = 0;
    uint64_t orders = 0;          // orders given
    uint64_t orders_seen = 0;     // orders the OUT thread had seen when it last chose what to read
    bool reading_command = false; // the OUT thread is in a read of one packet, outside any data phase
    bool stopped = false;         // it holds, or has halted, at the order's byte
    bool halted = false;          // the OUT endpoint is halted
    Worker control, out, in;
};

} // namespace

struct GadgetPhones::State {
    std::mutex lock;
    std::condition_variable changed; // a reply, a bind, an unbind, a request for the bus thread
    sim::Transcript transcript;
    std::vector<std::unique_ptr<Slot>> slots;
    std::atomic<bool> stopping{false};
    bool bus_requested = false;
    std::thread bus;

    Slot *find(const std::string &label) {
        for (auto &s : slots) {
            if (s->phone->label() == label)
                return s.get();
        }
        return nullptr;
    }

    void request_bus() {
        bus_requested = true;
        changed.notify_all();
    }

    // Answers the function's control requests, of which the host sends none to a fastboot interface:
    // each is stalled.
    void control_loop(Slot &s) {
        usb_functionfs_event events[4];
        while (!stopping) {
            ssize_t n = read(s.gadget->ep0(), events, sizeof events);
            if (n < 0) {
                if (errno != EINTR)
                    wait_tick();
                continue;
            }
            for (size_t i = 0; i < static_cast<size_t>(n) / sizeof events[0]; ++i) {
                if (events[i].type != FUNCTIONFS_SETUP)
                    continue;
                uint8_t none = 0;
                ssize_t ignored = (events[i].u.setup.bRequestType & USB_DIR_IN) != 0
                                      ? read(s.gadget->ep0(), &none, 0)
                                      : write(s.gadget->ep0(), &none, 0);
                (void)ignored;
            }
        }
    }

    // The host's OUT transfers: commands, and data phases read in pieces that never reach past their end,
    // nor past the byte of an order to hold or halt.
    void out_loop(Slot &s) {
        std::vector<uint8_t> buffer(MAX_DATA_READ);
        uint32_t limit = MAX_DATA_READ;
        while (!stopping) {
            uint32_t want;
            bool halt = false;
            {
                std::unique_lock<std::mutex> guard(lock);
                if (s.orders_seen != s.orders) {
                    s.orders_seen = s.orders;
                    changed.notify_all();
                }
                uint32_t remaining = s.phone->data_remaining(), position = s.phone->data_received();
                bool ordered = remaining > 0 && s.order != DataPhases::TAKEN;
                s.stopped = ordered && position >= s.order_at && (s.order == DataPhases::HELD || s.halted);
                if (s.stopped) {
                    // Nothing is read until the next order: the host's transfers wait, or stall.
                    changed.wait(guard, [&] { return stopping || s.orders != s.orders_seen; });
                    continue;
                }
                halt = ordered && position >= s.order_at;
                want = std::min(remaining, limit);
                if (ordered && !halt)
                    want = std::min(want, s.order_at - position);
                s.reading_command = want == 0 && !halt;
            }
            if (halt) {
                // A write to an OUT endpoint halts it (FunctionFS answers EBADMSG once it has): the host's
                // transfer under way ends with a stall after the packets it carried, and every later one
                // at once.
                uint8_t none = 0;
                bool done = write(s.gadget->out(), &none, 0) < 0 && errno == EBADMSG;
                std::unique_lock<std::mutex> guard(lock);
                s.halted = s.halted || done;
                if (!done)
                    changed.wait_for(guard, BUS_TICK); // unbound meanwhile, or woken: look again
                continue;
            }
            if (want == 0) {
                // A command is one transfer of at most 64 bytes, so a read of one packet takes it whole.
                uint16_t packet = s.gadget->out_packet_size();
                want = packet != 0 ? packet : 512;
            }
            ssize_t n = read(s.gadget->out(), buffer.data(), want);
            {
                std::lock_guard<std::mutex> guard(lock);
                s.reading_command = false;
            }
            if (n < 0) {
                // EINTR: see `stopping`. ESHUTDOWN: the gadget was unbound under the read; the next read
                // waits for the next bind. ENOMEM: the kernel found no buffer this large.
                if (errno == ENOMEM && limit > 4096)
                    limit /= 2;
                else if (errno != EINTR && errno != ESHUTDOWN && errno != ECONNRESET)
                    wait_tick();
                continue;
            }
            std::unique_lock<std::mutex> guard(lock);
            uint32_t accepted = 0;
            // GONE: the phone has left the bus and these bytes are lost, as they would be on a cable.
            s.phone->host_write(buffer.data(), static_cast<uint32_t>(n), accepted);
            Clock::time_point until = s.phone->book_transfer(accepted);
            if (s.phase_start && s.phone->data_remaining() == 0) {
                if (s.phone->plugged()) { // not cut short by an unplug
                    ++s.stats.phases;
                    s.stats.bytes += s.phase_size;
                    s.stats.microseconds += static_cast<uint64_t>(
                        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - *s.phase_start)
                            .count());
                }
                s.phase_start.reset();
            }
            request_bus();
            guard.unlock();
            std::this_thread::sleep_until(until);
        }
    }

    // The phone's replies, each written to the IN endpoint, where it waits until the host reads it.
    void in_loop(Slot &s) {
        uint8_t reply[REPLY_CAPACITY];
        std::unique_lock<std::mutex> guard(lock);
        while (!stopping) {
            uint32_t n = 0;
            bool was_plugged = false;
            changed.wait(guard, [&] {
                if (stopping)
                    return true;
                was_plugged = s.phone->plugged();
                return s.phone->host_read(reply, sizeof reply, n) == sim::IoStatus::OK;
            });
            if (stopping)
                break;
            // The OKAY of a reboot: the model has left the bus, the gadget stays until the host has it.
            s.delivering_last = was_plugged && !s.phone->plugged();
            if (n >= 4 && std::memcmp(reply, "DATA", 4) == 0 && s.phone->data_remaining() > 0) {
                s.phase_start = Clock::now();
                s.phase_size = s.phone->data_remaining();
            }
            Clock::time_point until = s.phone->book_transfer(n);
            // Where usbmon cannot be read the gadget cannot wait for the host, and leaves at once.
            std::string unwatched;
            std::unique_ptr<HostMonitor> host =
                s.delivering_last ? HostMonitor::open(s.host_bus, unwatched) : nullptr;
            guard.unlock();
            std::this_thread::sleep_until(until);
            // EINTR (stopping) or ESHUTDOWN (unbound): the reply is lost with the connection.
            ssize_t ignored = write(s.gadget->in(), reply, n);
            (void)ignored;
            guard.lock();
            // Until the host has read it, or the phone was pulled out meanwhile (which clears the mark).
            while (host != nullptr && !stopping && s.delivering_last && !host->bulk_in('C'))
                changed.wait_for(guard, BUS_TICK);
            s.delivering_last = false;
            request_bus();
        }
    }

    void wait_tick() {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, BUS_TICK, [&] { return stopping.load(); });
    }

    // Brings the gadgets in line with the phones: bound while the phone is on the bus (or its last
    // reply is on the way), unbound otherwise, and unbound and bound again when the phone left and came
    // back in between.
    void bus_loop() {
        std::unique_lock<std::mutex> guard(lock);
        while (!stopping) {
            for (auto &slot : slots) {
                Slot &s = *slot;
                s.phone->tick();
                bool want = s.phone->plugged() || s.delivering_last;
                bool stale = s.bound && !s.delivering_last && s.bound_generation != s.phone->generation();
                std::string error;
                if (s.bound && (!want || stale)) {
                    guard.unlock();
                    bool ok = s.gadget->unbind(error);
                    guard.lock();
                    s.bound = !ok;
                    s.bus_error = error;
                    changed.notify_all();
                }
                if (!s.bound && s.phone->plugged()) {
                    uint32_t generation = s.phone->generation();
                    guard.unlock();
                    bool ok = s.gadget->bind(s.controller, error);
                    guard.lock();
                    s.bound = ok;
                    s.bound_generation = generation;
                    s.bus_error = error;
                    changed.notify_all();
                }
            }
            changed.wait_for(guard, BUS_TICK, [&] { return stopping || bus_requested; });
            bus_requested = false;
        }
    }

    // A plug or unplug on request: the model changes at once, the gadget follows on the bus thread, and
    // this returns once it has.
    bool change(const std::string &label, bool plug, std::string &error) {
        std::unique_lock<std::mutex> guard(lock);
        Slot *slot = find(label);
        if (slot == nullptr) {
            error = "no phone '" + label + "'";
            return false;
        }
        if (plug) {
            slot->phone->plug();
        } else {
            slot->phone->unplug("control");
            slot->delivering_last = false;
        }
        slot->bus_error.clear();
        request_bus();
        auto done = [&] {
            return plug ? slot->bound && slot->bound_generation == slot->phone->generation() : !slot->bound;
        };
        if (!changed.wait_for(guard, BIND_TIMEOUT, [&] { return done() || !slot->bus_error.empty(); }) ||
            !done()) {
            error = std::string(plug ? "cannot bind " : "cannot unbind ") + label + " (" + slot->controller +
                    "): " + slot->bus_error;
            return false;
        }
        return true;
    }

    bool order(const std::string &label, DataPhases what, uint32_t at, std::string &error) {
        std::unique_lock<std::mutex> guard(lock);
        Slot *slot = find(label);
        if (slot == nullptr) {
            error = "no phone '" + label + "'";
            return false;
        }
        if (what == DataPhases::TAKEN && slot->halted) {
            // The OUT thread waits for an order now and touches the endpoint in no way.
            guard.unlock();
            bool cleared = ioctl(slot->gadget->out(), FUNCTIONFS_CLEAR_HALT) == 0;
            int why = errno;
            guard.lock();
            if (!cleared) {
                error = "cannot clear the halt of " + label + ": " + std::strerror(why);
                return false;
            }
            slot->halted = false;
        }
        slot->order = what;
        slot->order_at = at;
        uint64_t mine = ++slot->orders;
        changed.notify_all();
        // A read of a command is withdrawn, so that the order is in force before the data phase that the
        // next command starts. The signal comes again and again, since one sent just before the read
        // began would be lost.
        while (!stopping && slot->orders_seen != mine && slot->reading_command) {
            pthread_kill(slot->out.thread.native_handle(), WAKE_SIGNAL);
            changed.wait_for(guard, 5ms);
        }
        return true;
    }

    void stop() {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
            changed.notify_all();
        }
        if (bus.joinable())
            bus.join();
        for (auto &s : slots) {
            s->control.stop();
            s->out.stop();
            s->in.stop();
        }
        slots.clear(); // each gadget unbinds and goes
    }
};

GadgetPhones::GadgetPhones(std::unique_ptr<State> state) : m_state(std::move(state)) {}

GadgetPhones::~GadgetPhones() {
    m_state->stop();
}

std::unique_ptr<GadgetPhones> GadgetPhones::start(sim::Scenario scenario, const GadgetOptions &options,
                                                  std::string &error) {
    for (const auto &device : scenario.devices) {
        if (!check_servable(device, error))
            return nullptr;
    }
    std::vector<std::string> controllers = UsbGadget::controllers();
    if (controllers.size() < scenario.devices.size()) {
        error = std::to_string(scenario.devices.size()) +
                " phones need as many USB device controllers; this "
                "machine has " +
                std::to_string(controllers.size()) + " (modprobe dummy_hcd num=N)";
        return nullptr;
    }
    auto resolve = [&](const std::string &p) -> std::filesystem::path {
        std::filesystem::path path(p);
        return p.empty() || path.is_absolute() || options.base.empty() ? path : options.base / path;
    };
    auto state = std::make_unique<State>();
    std::filesystem::path transcript = resolve(scenario.transcript_file);
    if (!transcript.empty()) {
        std::error_code ec;
        if (transcript.has_parent_path())
            std::filesystem::create_directories(transcript.parent_path(), ec);
        if (!state->transcript.restart(transcript)) {
            error = "cannot create the transcript file '" + transcript.string() + "'";
            return nullptr;
        }
    }
    std::filesystem::path partitions = resolve(scenario.partition_dir);

    struct sigaction wake = {};
    wake.sa_handler = on_wake;
    sigemptyset(&wake.sa_mask);
    sigaction(WAKE_SIGNAL, &wake, nullptr);

    for (size_t i = 0; i < scenario.devices.size(); ++i) {
        auto slot = std::make_unique<Slot>();
        sim::DeviceConfig &c = scenario.devices[i];
        GadgetDescription description;
        description.name = c.label;
        description.vendor_id = c.vendor_id;
        description.product_id = c.product_id;
        std::copy(std::begin(c.device_class), std::end(c.device_class), description.device_class);
        std::copy(std::begin(c.interface_class), std::end(c.interface_class), description.interface_class);
        description.manufacturer = "Tarnex gadget phone";
        description.product = c.label;
        description.has_serial = c.has_serial;
        auto special = options.serials.find(c.label);
        description.serial = special != options.serials.end() ? special->second : c.serial;
        slot->gadget = UsbGadget::create(description, options.mount_dir, error);
        if (slot->gadget == nullptr) {
            error = c.label + ": " + error;
            return nullptr;
        }
        slot->controller = controllers[i];
        slot->host_bus = UsbGadget::host_bus(controllers[i]);
        slot->phone = std::make_unique<sim::Phone>(std::move(c), state->transcript, partitions);
        state->slots.push_back(std::move(slot));
    }

    State *s = state.get();
    auto phones = std::unique_ptr<GadgetPhones>(new GadgetPhones(std::move(state)));
    for (auto &slot : s->slots) {
        Slot *one = slot.get();
        one->control.start([s, one] { s->control_loop(*one); });
        one->out.start([s, one] { s->out_loop(*one); });
        one->in.start([s, one] { s->in_loop(*one); });
    }
    s->bus = std::thread([s] { s->bus_loop(); });

    std::unique_lock<std::mutex> guard(s->lock);
    for (auto &slot : s->slots) {
        Slot &one = *slot;
        if (!one.phone->plugged())
            continue;
        if (!s->changed.wait_for(guard, BIND_TIMEOUT, [&] { return one.bound || !one.bus_error.empty(); }) ||
            !one.bound) {
            error = one.phone->label() + ": cannot bind to " + one.controller + ": " + one.bus_error;
            guard.unlock();
            return nullptr;
        }
    }
    return phones;
}

bool GadgetPhones::unplug(const std::string &label, std::string &error) {
    return m_state->change(label, false, error);
}

bool GadgetPhones::plug(const std::string &label, std::string &error) {
    return m_state->change(label, true, error);
}

std::string GadgetPhones::controller(const std::string &label) const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    Slot *slot = m_state->find(label);
    return slot != nullptr ? slot->controller : std::string();
}

bool GadgetPhones::order(const std::string &label, DataPhases what, uint32_t at, std::string &error) {
    return m_state->order(label, what, at, error);
}

bool GadgetPhones::data_phase_stats(const std::string &label, DataPhaseStats &stats) const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    Slot *slot = m_state->find(label);
    if (slot == nullptr)
        return false;
    stats = slot->stats;
    stats.stopped = slot->stopped;
    return true;
}

} // namespace tarnex::gadget
