#include "rigs/usb_emulation/usb_emulation.h"

#include "drivers/libusb/interface_name.h"
#include "drivers/sim/phone.h"
#include "drivers/sim/transcript.h"

#include <umockdev.h>

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace tarnex::usb_emulation {

namespace {

using tarnex::libusb_driver::utf8_to_utf16;

// Endpoints of an emulated phone. The fastboot interface's are deliberately not the first ones, so a
// driver has to take them from the descriptors.
constexpr uint8_t DEBUG_IN = 0x81, DEBUG_OUT = 0x01;
constexpr uint8_t FASTBOOT_IN = 0x83, FASTBOOT_OUT = 0x02, FASTBOOT_EXTRA = 0x84;
constexpr uint8_t DEBUG_INTERFACE = 0, FASTBOOT_INTERFACE = 1;
constexpr uint8_t HUB_PORT = 4, MASS_STORAGE_PORT = 1;
// How often rebooting phones are looked at when nothing else happens.
constexpr auto BUS_TICK = std::chrono::milliseconds(20);

struct EndpointSpec {
    uint8_t address;
    uint8_t attributes; // 2 bulk, 3 interrupt
    uint16_t max_packet;
};

struct InterfaceSpec {
    uint8_t number;
    uint8_t cls, subclass, protocol;
    std::vector<EndpointSpec> endpoints;
};

void put16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

std::vector<uint8_t> device_descriptor(uint16_t vendor, uint16_t product, const uint8_t cls[3], bool serial) {
    std::vector<uint8_t> d = {18, 1};
    put16(d, 0x0200);
    d.insert(d.end(), {cls[0], cls[1], cls[2], 64});
    put16(d, vendor);
    put16(d, product);
    put16(d, 0x0100);
    d.insert(d.end(), {1, 2, static_cast<uint8_t>(serial ? 3 : 0), 1});
    return d;
}

std::vector<uint8_t> config_descriptor(const std::vector<InterfaceSpec> &interfaces) {
    std::vector<uint8_t> body;
    for (const auto &i : interfaces) {
        body.insert(body.end(), {9, 4, i.number, 0, static_cast<uint8_t>(i.endpoints.size()), i.cls,
                                 i.subclass, i.protocol, 0});
        for (const auto &e : i.endpoints) {
            body.insert(body.end(), {7, 5, e.address, e.attributes});
            put16(body, e.max_packet);
            body.push_back(e.attributes == 3 ? 1 : 0);
        }
    }
    std::vector<uint8_t> c = {9, 2};
    put16(c, static_cast<uint16_t>(9 + body.size()));
    c.insert(c.end(), {static_cast<uint8_t>(interfaces.size()), 1, 0, 0x80, 50});
    c.insert(c.end(), body.begin(), body.end());
    return c;
}

std::string hex(const std::vector<uint8_t> &bytes) {
    std::string s;
    char buf[3];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += buf;
    }
    return s;
}

std::string three_digits(unsigned n) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%03u", n);
    return buf;
}

// What a device node stands for.
enum class NodeKind { PHONE, HUB, MASS_STORAGE };

struct Urb {
    UMockdevIoctlData *data = nullptr;   // the client's struct usbdevfs_urb, resolved; referenced
    UMockdevIoctlData *buffer = nullptr; // its buffer, resolved (null for an empty one); owned by `data`
    UMockdevIoctlClient *client = nullptr;
    bool in = false;
    uint8_t endpoint = 0;

    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
    uint8_t *bytes() const { return buffer != nullptr ? buffer->data : nullptr; }
};

struct Node {
    std::string devnode; // "/dev/bus/usb/001/005"
    std::string syspath; // "/sys/devices/usb1/1-4/1-4.1"
    NodeKind kind = NodeKind::PHONE;
    std::string what; // a label for faults: the phone's label, "hub 1-4", "memory stick 1-1"
    size_t phone = 0; // PHONE only
    uint32_t generation = 0;
    bool gone = false;                                // off the bus: URBs fail, ioctls get ENODEV
    bool removed = false;                             // and taken out of the test bed
    std::map<unsigned, UMockdevIoctlClient *> claims; // interface -> the client holding it
    std::set<UMockdevIoctlClient *> refused;          // opens an "open#K fail" rule refused
    std::vector<InterfaceSpec> interfaces;
    std::vector<uint8_t> device_desc, config_desc;
};

} // namespace

struct UsbEmulation::State {
    mutable std::mutex lock;
    mutable std::condition_variable changed; // any counter or the bus changed
    UMockdevTestbed *testbed = nullptr;
    UMockdevIoctlBase *handler = nullptr;
    EmulationOptions options;

    sim::Transcript transcript;
    std::vector<std::unique_ptr<sim::Phone>> phones;
    std::vector<std::string> faults;
    EmulationStats stats;

    std::map<std::string, Node> nodes;                     // by device node
    std::vector<std::string> phone_node;                   // per phone: its current device node, or empty
    std::vector<WriteMode> write_modes;                    // per phone
    std::vector<uint32_t> write_mode_at;                   // per phone: the data phase byte it starts at
    std::deque<Urb> pending;                               // submitted, not complete (reads waiting, mostly)
    std::map<UMockdevIoctlClient *, std::deque<Urb>> done; // complete, not reaped, per client (file)
    std::vector<UMockdevIoctlClient *> blocked_reapers;    // REAPURB callers waiting for a URB
    unsigned next_devnum = 1;

    // The bus thread.
    std::thread bus;
    bool stopping = false;
    bool bus_requested = false;
    uint64_t bus_rounds = 0;
    mutable std::condition_variable bus_wake;

    // --- under the lock ---------------------------------------------------------------------------------

    void fault(const std::string &who, const std::string &text) {
        faults.push_back(who + ": " + text);
        transcript.add("fault " + who + " " + sim::quote(text));
    }

    void finish(Urb urb, int status, int actual) {
        urb.urb()->status = status;
        urb.urb()->actual_length = actual;
        done[urb.client].push_back(urb);
        serve_blocked_reapers();
    }

    // Hands a complete URB to the client's REAPURB call, if one waits.
    void serve_blocked_reapers() {
        for (auto it = blocked_reapers.begin(); it != blocked_reapers.end();) {
            UMockdevIoctlClient *client = *it;
            auto d = done.find(client);
            const Node *node = node_of(client);
            if (d != done.end() && !d->second.empty()) {
                reap_into(client, d->second);
            } else if (node == nullptr || node->gone) {
                umockdev_ioctl_client_complete(client, -1, ENODEV);
            } else {
                ++it;
                continue;
            }
            g_object_unref(client);
            it = blocked_reapers.erase(it);
        }
    }

    // Completes a reap with the first finished URB of the client's queue.
    void reap_into(UMockdevIoctlClient *client, std::deque<Urb> &queue) {
        Urb urb = queue.front();
        queue.pop_front();
        UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
        UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
        if (slot != nullptr) {
            umockdev_ioctl_data_set_ptr(slot, 0, urb.data);
            g_object_unref(slot);
            umockdev_ioctl_client_complete(client, 0, 0);
        } else {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
        }
        g_object_unref(urb.data);
    }

    Node *node_of(UMockdevIoctlClient *client) {
        const char *devnode = umockdev_ioctl_client_get_devnode(client);
        auto it = devnode ? nodes.find(devnode) : nodes.end();
        return it == nodes.end() ? nullptr : &it->second;
    }

    // Takes a pending URB out of the queue and the counters into `urb`, for the caller to finish; returns
    // the position after it.
    std::deque<Urb>::iterator take_pending(std::deque<Urb>::iterator it, Urb &urb) {
        urb = *it;
        if (urb.in)
            --stats.reads_waiting;
        else
            --stats.writes_waiting;
        return pending.erase(it);
    }

    // Takes a node off the bus: its pending URBs end as the kernel ends them on a disconnect.
    void mark_gone(Node &node) {
        if (node.gone)
            return;
        node.gone = true;
        for (auto it = pending.begin(); it != pending.end();) {
            Node *owner = node_of(it->client);
            if (owner == &node) {
                Urb urb;
                it = take_pending(it, urb);
                finish(urb, -ESHUTDOWN, 0);
            } else {
                ++it;
            }
        }
        serve_blocked_reapers();
        bus_requested = true;
        bus_wake.notify_all();
    }

    // A phone that left the bus during what it was just asked to do.
    void check_phone(Node &node) {
        sim::Phone &p = *phones[node.phone];
        if (!p.plugged() || p.generation() != node.generation)
            mark_gone(node);
    }

    // Gives a waiting read what the phone has to say now, if anything. A read being discarded that gets
    // a reply comes back cancelled with the bytes that moved, as an unlink that raced the device does.
    void try_read(std::deque<Urb>::iterator it, bool &finished, bool discarding = false) {
        finished = false;
        Node *node = node_of(it->client);
        if (node == nullptr || node->gone)
            return;
        sim::Phone &p = *phones[node->phone];
        uint32_t received = 0;
        sim::IoStatus st =
            p.host_read(it->bytes(), static_cast<uint32_t>(it->urb()->buffer_length), received);
        if (st == sim::IoStatus::TIMEOUT)
            return; // stays pending until the phone speaks or the host gives up (DISCARDURB)
        Urb urb;
        take_pending(it, urb);
        finished = true;
        int status = st == sim::IoStatus::OK         ? (discarding ? -ENOENT : 0)
                     : st == sim::IoStatus::OVERFLOW ? -EOVERFLOW
                     : st == sim::IoStatus::GONE     ? -ESHUTDOWN
                                                     : -EPROTO;
        finish(urb, status, static_cast<int>(received));
        check_phone(*node);
    }

    // Gives a bulk OUT transfer to the phone and completes it with what the phone took.
    void take_write(const Urb &urb, Node &node) {
        uint32_t accepted = 0;
        sim::IoStatus st = phones[node.phone]->host_write(
            urb.bytes(), static_cast<uint32_t>(urb.urb()->buffer_length), accepted);
        int status = st == sim::IoStatus::OK ? 0 : st == sim::IoStatus::GONE ? -ESHUTDOWN : -EPROTO;
        finish(urb, status, static_cast<int>(accepted));
        check_phone(node);
        retry_reads(node); // a read submitted before this command may have its answer now
    }

    // Whether the phone's write mode holds its next bulk OUT transfer. The modes apply to the bytes of data
    // phases from their byte on: a transfer that starts there is held or stalled; one that reaches past
    // it is taken whole when holding, and up to it when stalling (serve_write).
    bool holds_writes(const Node &node) const {
        const sim::Phone &phone = *phones[node.phone];
        return write_modes[node.phone] == WriteMode::HOLD && phone.awaiting_data() &&
               phone.data_received() >= write_mode_at[node.phone];
    }

    // Gives a bulk OUT transfer that is not held to the phone; a stalled one ends with the stall after the
    // bytes before the mode's byte, as a device that halts in the middle of a transfer ends it.
    void serve_write(const Urb &urb, Node &node) {
        sim::Phone &phone = *phones[node.phone];
        uint32_t at = write_mode_at[node.phone], position = phone.data_received();
        uint64_t end = position + static_cast<uint64_t>(urb.urb()->buffer_length);
        if (write_modes[node.phone] == WriteMode::STALL && phone.awaiting_data() && end > at) {
            uint32_t accepted = 0;
            if (at > position)
                phone.host_write(urb.bytes(), at - position, accepted);
            finish(urb, -EPIPE, static_cast<int>(accepted));
            check_phone(node);
            return;
        }
        take_write(urb, node);
    }

    // The writes a phone held, in the order they came, as its write mode says now.
    void serve_held_writes(Node &node) {
        for (auto it = pending.begin(); it != pending.end() && !node.gone;) {
            if (it->in || node_of(it->client) != &node) {
                ++it;
                continue;
            }
            if (holds_writes(node))
                return; // and so does everything behind it
            Urb urb;
            take_pending(it, urb);
            serve_write(urb, node);
            it = pending.begin(); // taking a write may have finished reads too
        }
    }

    void retry_reads(const Node &node) {
        bool progress = true;
        while (progress) {
            progress = false;
            for (auto it = pending.begin(); it != pending.end(); ++it) {
                if (it->in && node_of(it->client) == &node) {
                    bool finished = false;
                    try_read(it, finished);
                    progress = finished;
                    break; // one read at a time, in submission order
                }
            }
        }
    }

    std::string device_record(const Node &node, unsigned devnum, const std::string &port_path) const {
        std::string r = "P: " + node.syspath.substr(4) + "\n"; // without "/sys"
        r += "N: bus/usb/001/" + three_digits(devnum) + "\n";
        r += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
        r += "E: BUSNUM=001\nE: DEVNUM=" + three_digits(devnum) + "\n";
        r += "E: DEVNAME=" + node.devnode + "\n";
        std::string ifaces = ":";
        for (const auto &i : node.interfaces) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "%02x%02x%02x:", i.cls, i.subclass, i.protocol);
            ifaces += buf;
        }
        r += "E: ID_USB_INTERFACES=" + ifaces + "\n";
        r += "A: busnum=1\\n\nA: devnum=" + std::to_string(devnum) + "\\n\n";
        r += "A: speed=480\\n\nA: bConfigurationValue=1\\n\n";
        if (!port_path.empty())
            r += "A: devpath=" + port_path.substr(port_path.find('-') + 1) + "\\n\n";
        r += "H: descriptors=" + hex(node.device_desc) + hex(node.config_desc) + "\n";
        return r;
    }

    // --- the bus thread's work --------------------------------------------------------------------------

    struct BusAction {
        bool add = false;
        std::string devnode, syspath, record;
    };

    // Compares the phones with the test bed and lists what has to change. Lock held.
    std::vector<BusAction> reconcile() {
        std::vector<BusAction> actions;
        for (auto &p : phones)
            p->tick();
        for (auto &[devnode, node] : nodes) {
            if (node.kind == NodeKind::PHONE)
                check_phone(node);
            if (node.gone && !node.removed) {
                node.removed = true;
                actions.push_back({false, node.devnode, node.syspath, {}});
            }
        }
        for (size_t i = 0; i < phones.size(); ++i) {
            sim::Phone &p = *phones[i];
            auto current = nodes.find(phone_node[i]);
            bool live = current != nodes.end() && !current->second.gone;
            if (!p.plugged() || live)
                continue;
            Node node = phone_node_for(i);
            unsigned devnum = next_devnum++;
            node.devnode = "/dev/bus/usb/001/" + three_digits(devnum);
            std::string port = port_of_phone(i);
            actions.push_back({true, node.devnode, node.syspath, device_record(node, devnum, port)});
            phone_node[i] = node.devnode;
            nodes.emplace(node.devnode, std::move(node));
        }
        return actions;
    }

    // Applies the actions to the test bed; the lock is not held (umockdev may take its time).
    void apply(const std::vector<BusAction> &actions) {
        for (const auto &a : actions) {
            if (a.add)
                continue;
            umockdev_testbed_uevent(testbed, a.syspath.c_str(), "remove");
            umockdev_testbed_remove_device(testbed, a.syspath.c_str());
        }
        for (const auto &a : actions) {
            if (!a.add)
                continue;
            // The handler first, so that the device can be opened as soon as its "add" is seen.
            GError *error = nullptr;
            if (!umockdev_testbed_attach_ioctl(testbed, a.devnode.c_str(), handler, &error))
                report_bus_error(a.devnode, error);
            if (!umockdev_testbed_add_from_string(testbed, a.record.c_str(), &error))
                report_bus_error(a.syspath, error);
        }
    }

    void report_bus_error(const std::string &what, GError *error) {
        std::lock_guard<std::mutex> guard(lock);
        fault("bus", what + ": " + (error != nullptr ? error->message : "umockdev failed"));
        if (error != nullptr)
            g_error_free(error);
    }

    std::string port_of_phone(size_t i) const {
        return "1-" + std::to_string(HUB_PORT) + "." + std::to_string(i + 1);
    }

    Node phone_node_for(size_t i) const {
        const sim::DeviceConfig &c = phones[i]->config();
        Node node;
        node.kind = NodeKind::PHONE;
        node.phone = i;
        node.what = c.label;
        node.generation = phones[i]->generation();
        node.syspath = "/sys/devices/usb1/1-" + std::to_string(HUB_PORT) + "/" + port_of_phone(i);
        InterfaceSpec debug{DEBUG_INTERFACE, 0xFF, 0x42, 0x01, {{DEBUG_IN, 2, 512}, {DEBUG_OUT, 2, 512}}};
        std::vector<EndpointSpec> all = {
            {FASTBOOT_IN, 2, 512}, {FASTBOOT_OUT, 2, 512}, {FASTBOOT_EXTRA, 3, 64}};
        all.resize(std::min<size_t>(c.endpoints, all.size()));
        InterfaceSpec fastboot{FASTBOOT_INTERFACE, c.interface_class[0], c.interface_class[1],
                               c.interface_class[2], all};
        node.interfaces = {debug, fastboot};
        node.device_desc = device_descriptor(c.vendor_id, c.product_id, c.device_class, c.has_serial);
        node.config_desc = config_descriptor(node.interfaces);
        return node;
    }

    void bus_loop() {
        std::unique_lock<std::mutex> guard(lock);
        while (!stopping) {
            bus_wake.wait_for(guard, BUS_TICK, [&] { return stopping || bus_requested; });
            if (stopping)
                break;
            bus_requested = false;
            std::vector<BusAction> actions = reconcile();
            if (!actions.empty()) {
                guard.unlock();
                apply(actions);
                guard.lock();
                stats.bus_changes += actions.size();
            }
            ++bus_rounds;
            changed.notify_all();
        }
    }

    // Runs one full round of the bus thread and waits for it. Lock held through `guard`.
    void bus_round(std::unique_lock<std::mutex> &guard) {
        uint64_t target = bus_rounds + 2; // a round that started before the request may miss it
        bus_requested = true;
        bus_wake.notify_all();
        changed.wait(guard, [&] { return bus_rounds >= target || stopping; });
    }

    // --- the ioctl handler ------------------------------------------------------------------------------

    gboolean handle_ioctl(UMockdevIoctlClient *client);
    void handle_submit(UMockdevIoctlClient *client, Node &node);
    void handle_control(Urb urb, Node &node);
};

namespace {

gboolean on_handle_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    return static_cast<UsbEmulation::State *>(self)->handle_ioctl(client);
}

void on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self) {
    auto *s = static_cast<UsbEmulation::State *>(self);
    std::lock_guard<std::mutex> guard(s->lock);
    Node *node = s->node_of(client);
    if (node == nullptr)
        return;
    if (node->kind != NodeKind::PHONE) {
        s->fault(node->what, "device file opened");
        return;
    }
    ++s->stats.opens;
    if (!node->gone) {
        // "open#K" rules count the opens of the phone's device file.
        sim::IoStatus st = s->phones[node->phone]->on_open();
        if (st == sim::IoStatus::OPEN_REFUSED)
            node->refused.insert(client); // its claims fail, so the driver's open fails
        s->check_phone(*node);
    }
    s->changed.notify_all();
}

} // namespace

gboolean UsbEmulation::State::handle_ioctl(UMockdevIoctlClient *client) {
    std::lock_guard<std::mutex> guard(lock);
    Node *node = node_of(client);
    if (node == nullptr)
        return FALSE;
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    if (node->kind != NodeKind::PHONE) {
        fault(node->what, "ioctl " + std::to_string(request));
        umockdev_ioctl_client_complete(client, -1, EPERM);
        return TRUE;
    }

    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        if (node->gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(uint32_t), nullptr);
        if (d == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        uint32_t caps = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                        USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;
        std::memcpy(d->data, &caps, sizeof caps);
        g_object_unref(d);
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData *d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        if (d == nullptr) {
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        unsigned number = 0;
        std::memcpy(&number, d->data, sizeof number);
        g_object_unref(d);
        bool exists = std::any_of(node->interfaces.begin(), node->interfaces.end(),
                                  [&](const InterfaceSpec &i) { return i.number == number; });
        int error = 0;
        auto held = node->claims.find(number);
        bool busy_label =
            std::find(options.busy.begin(), options.busy.end(), node->what) != options.busy.end();
        if (node->gone) {
            error = ENODEV;
        } else if (node->refused.count(client) != 0) {
            error = EACCES;
        } else if (!exists) {
            error = ENOENT;
        } else if (request == USBDEVFS_CLAIMINTERFACE) {
            if (number == DEBUG_INTERFACE)
                fault(node->what, "the debug interface was claimed");
            if ((number == FASTBOOT_INTERFACE && busy_label) ||
                (held != node->claims.end() && held->second != client))
                error = EBUSY;
            else if (held == node->claims.end()) {
                node->claims[number] = client;
                if (number == FASTBOOT_INTERFACE)
                    ++stats.claims;
            }
        } else if (held == node->claims.end() || held->second != client) {
            error = EINVAL;
        } else {
            node->claims.erase(held);
            if (number == FASTBOOT_INTERFACE)
                ++stats.releases;
        }
        umockdev_ioctl_client_complete(client, error != 0 ? -1 : 0, error);
        changed.notify_all();
        return TRUE;
    }
    case USBDEVFS_SUBMITURB:
        handle_submit(client, *node);
        changed.notify_all();
        return TRUE;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        auto d = done.find(client);
        if (d != done.end() && !d->second.empty()) {
            reap_into(client, d->second);
        } else if (node->gone) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
        } else if (request == USBDEVFS_REAPURB) {
            blocked_reapers.push_back(static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
        } else {
            umockdev_ioctl_client_complete(client, -1, EAGAIN);
        }
        return TRUE;
    }
    case USBDEVFS_DISCARDURB: {
        // The argument is the client's URB address; ours carry it as client_addr.
        gulong address = 0;
        if (arg->data_len >= static_cast<gint>(sizeof(void *)))
            std::memcpy(&address, arg->data, sizeof address);
        for (auto it = pending.begin(); it != pending.end(); ++it) {
            if (it->client != client || it->data->client_addr != address)
                continue;
            ++stats.discarded;
            if (!it->in)
                ++stats.writes_discarded;
            bool finished = false;
            if (it->in && options.replies_race_discards)
                try_read(it, finished, true);
            if (!finished) {
                Urb urb;
                take_pending(it, urb);
                finish(urb, -ENOENT, 0);
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            changed.notify_all();
            return TRUE;
        }
        // Already complete (or never ours): the kernel says EINVAL, and libusb knows what it means.
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return TRUE;
    }
    case USBDEVFS_RESETEP:
    case USBDEVFS_CLEAR_HALT:
        umockdev_ioctl_client_complete(client, node->gone ? -1 : 0, node->gone ? ENODEV : 0);
        return TRUE;
    case USBDEVFS_GETDRIVER:
        umockdev_ioctl_client_complete(client, -1, node->gone ? ENODEV : ENODATA);
        return TRUE;
    default:
        // Detaching a kernel driver (USBDEVFS_IOCTL, USBDEVFS_DISCONNECT_CLAIM), resets and the rest: a
        // flasher's driver has no business with them.
        fault(node->what, "unexpected ioctl " + std::to_string(request));
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }
}

void UsbEmulation::State::handle_submit(UMockdevIoctlClient *client, Node &node) {
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    if (node.gone) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return;
    }
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
    if (data == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    Urb urb;
    urb.data = data; // takes over the GObject reference that resolving gave us
    urb.client = client;
    usbdevfs_urb *u = urb.urb();
    if (u->buffer_length < 0) {
        g_object_unref(data);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (u->buffer_length > 0) {
        UMockdevIoctlData *buffer = umockdev_ioctl_data_resolve(
            data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(u->buffer_length), nullptr);
        if (buffer == nullptr) {
            g_object_unref(data);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        urb.buffer = buffer;
        g_object_unref(buffer); // `data` keeps it
    }
    urb.endpoint = u->endpoint;
    urb.in = (u->endpoint & 0x80) != 0;
    ++stats.submitted;

    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        umockdev_ioctl_client_complete(client, 0, 0);
        handle_control(urb, node);
        return;
    }
    if (u->type != USBDEVFS_URB_TYPE_BULK || (urb.endpoint != FASTBOOT_IN && urb.endpoint != FASTBOOT_OUT)) {
        if (urb.endpoint == DEBUG_IN || urb.endpoint == DEBUG_OUT)
            fault(node.what, "a transfer on the debug interface");
        g_object_unref(data);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    if (node.claims.count(FASTBOOT_INTERFACE) == 0 || node.claims[FASTBOOT_INTERFACE] != client)
        fault(node.what, "a transfer on an interface that was not claimed");
    umockdev_ioctl_client_complete(client, 0, 0);

    if (urb.in) {
        // The status of a download comes after all of its data: a host that reads before its writes are
        // done may take a reply that belongs to nothing yet, or report a download good too early.
        if (phones[node.phone]->awaiting_data())
            fault(node.what, "a status read in the middle of a data phase");
        pending.push_back(urb);
        ++stats.reads_waiting;
        retry_reads(node);
        return;
    }
    bool earlier_held = std::any_of(pending.begin(), pending.end(),
                                    [&](const Urb &p) { return !p.in && node_of(p.client) == &node; });
    if (earlier_held || holds_writes(node)) {
        pending.push_back(urb); // in order behind what is held
        stats.most_writes_waiting = std::max(stats.most_writes_waiting, ++stats.writes_waiting);
    } else {
        serve_write(urb, node);
    }
}

void UsbEmulation::State::handle_control(Urb urb, Node &node) {
    usbdevfs_urb *u = urb.urb();
    uint8_t *b = urb.bytes();
    if (b == nullptr || u->buffer_length < 8) {
        finish(urb, -EPIPE, 0);
        return;
    }
    uint8_t request_type = b[0], request = b[1];
    unsigned value = b[2] | b[3] << 8, length = b[6] | b[7] << 8;
    std::vector<uint8_t> reply;
    bool stall = true;
    if (request_type == 0x80 && request == 6) { // GET_DESCRIPTOR
        unsigned type = value >> 8, index = value & 0xFF;
        const sim::DeviceConfig &c = phones[node.phone]->config();
        std::u16string text;
        bool is_text = false;
        if (type == 1) {
            reply = node.device_desc, stall = false;
        } else if (type == 2 && index == 0) {
            reply = node.config_desc, stall = false;
        } else if (type == 3 && index == 0) {
            reply = {4, 3, 0x09, 0x04}, stall = false; // English (United States)
        } else if (type == 3 && index == 1) {
            text = u"Tarnex emulated phone", is_text = true;
        } else if (type == 3 && index == 2) {
            text = utf8_to_utf16(c.label), is_text = true;
        } else if (type == 3 && index == 3 && c.has_serial) {
            auto special = options.serials.find(c.label);
            text = utf8_to_utf16(special != options.serials.end() ? special->second : c.serial),
            is_text = true;
        }
        if (is_text) {
            text.resize(std::min<size_t>(text.size(), 126)); // a descriptor holds at most 255 bytes
            reply = {static_cast<uint8_t>(2 + 2 * text.size()), 3};
            for (char16_t ch : text)
                put16(reply, static_cast<uint16_t>(ch));
            stall = false;
        }
    }
    if (stall) {
        finish(urb, -EPIPE, 0);
        return;
    }
    size_t n = std::min<size_t>({reply.size(), length, static_cast<size_t>(u->buffer_length - 8)});
    std::memcpy(b + 8, reply.data(), n);
    finish(urb, 0, static_cast<int>(n));
}

// --- the public side ----------------------------------------------------------------------------------

UsbEmulation::UsbEmulation(std::unique_ptr<State> state) : m_state(std::move(state)) {}

std::unique_ptr<UsbEmulation> UsbEmulation::start(sim::Scenario scenario, const EmulationOptions &options,
                                                  std::string &error) {
    auto s = std::make_unique<State>();
    s->options = options;
    auto resolve = [&](const std::string &p) -> std::filesystem::path {
        if (p.empty())
            return {};
        std::filesystem::path path(p);
        return path.is_relative() && !options.base.empty() ? options.base / path : path;
    };
    if (scenario.devices.size() > 9) {
        error = "the emulated hub has room for 9 phones";
        return nullptr;
    }
    std::filesystem::path transcript = resolve(scenario.transcript_file);
    if (!transcript.empty()) {
        std::error_code ec;
        if (transcript.has_parent_path())
            std::filesystem::create_directories(transcript.parent_path(), ec);
        if (!s->transcript.restart(transcript)) {
            error = "cannot create the transcript file '" + transcript.string() + "'";
            return nullptr;
        }
    }
    std::filesystem::path partitions = resolve(scenario.partition_dir);
    for (auto &device : scenario.devices)
        s->phones.push_back(std::make_unique<sim::Phone>(std::move(device), s->transcript, partitions));
    s->phone_node.assign(s->phones.size(), std::string());
    s->write_modes.assign(s->phones.size(), WriteMode::NORMAL);
    s->write_mode_at.assign(s->phones.size(), 0);

    s->testbed = umockdev_testbed_new();
    if (s->testbed == nullptr) {
        error = "umockdev cannot make a test bed";
        return nullptr;
    }
    s->handler = umockdev_ioctl_base_new();
    g_signal_connect(s->handler, "handle-ioctl", G_CALLBACK(on_handle_ioctl), s.get());
    g_signal_connect(s->handler, "client-connected", G_CALLBACK(on_client_connected), s.get());

    // The fixed part of the bus: the root hub, the hub the phones are on, and the memory stick.
    std::vector<State::BusAction> fixed;
    auto add_fixed = [&](NodeKind kind, const std::string &what, const std::string &syspath,
                         const std::string &port, uint16_t vendor, uint16_t product, const uint8_t cls[3],
                         InterfaceSpec iface) {
        Node node;
        node.kind = kind;
        node.what = what;
        node.syspath = syspath;
        unsigned devnum = s->next_devnum++;
        node.devnode = "/dev/bus/usb/001/" + three_digits(devnum);
        node.interfaces = {iface};
        node.device_desc = device_descriptor(vendor, product, cls, false);
        node.config_desc = config_descriptor(node.interfaces);
        fixed.push_back({true, node.devnode, node.syspath, s->device_record(node, devnum, port)});
        s->nodes.emplace(node.devnode, std::move(node));
    };
    const uint8_t hub_class[3] = {9, 0, 0}, no_class[3] = {0, 0, 0};
    add_fixed(NodeKind::HUB, "root hub", "/sys/devices/usb1", "", 0x1d6b, 0x0002, hub_class,
              {0, 9, 0, 0, {{0x81, 3, 4}}});
    std::string hub = "1-" + std::to_string(HUB_PORT);
    add_fixed(NodeKind::HUB, "hub " + hub, "/sys/devices/usb1/" + hub, hub, 0x05e3, 0x0608, hub_class,
              {0, 9, 0, 0, {{0x81, 3, 1}}});
    if (options.mass_storage) {
        std::string port = "1-" + std::to_string(MASS_STORAGE_PORT);
        add_fixed(NodeKind::MASS_STORAGE, "memory stick " + port, "/sys/devices/usb1/" + port, port, 0x0781,
                  0x5567, no_class, {0, 8, 6, 0x50, {{0x81, 2, 512}, {0x02, 2, 512}}});
    }
    s->apply(fixed);
    State *raw = s.get();
    s->bus = std::thread([raw] { raw->bus_loop(); });
    auto emulation = std::unique_ptr<UsbEmulation>(new UsbEmulation(std::move(s)));
    {
        std::unique_lock<std::mutex> guard(raw->lock);
        raw->bus_round(guard);
        if (!raw->faults.empty()) {
            error = raw->faults.front();
            guard.unlock();
            return nullptr;
        }
    }
    return emulation;
}

UsbEmulation::~UsbEmulation() {
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        m_state->stopping = true;
        m_state->bus_wake.notify_all();
        m_state->changed.notify_all();
    }
    if (m_state->bus.joinable())
        m_state->bus.join();
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        for (auto *client : m_state->blocked_reapers) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            g_object_unref(client);
        }
        m_state->blocked_reapers.clear();
        for (auto &urb : m_state->pending)
            g_object_unref(urb.data);
        for (auto &[client, queue] : m_state->done) {
            for (auto &urb : queue)
                g_object_unref(urb.data);
        }
        m_state->pending.clear();
        m_state->done.clear();
    }
    // Without the lock: the test bed stops its worker thread, which may be waiting for it.
    if (m_state->testbed != nullptr)
        g_object_unref(m_state->testbed);
    if (m_state->handler != nullptr)
        g_object_unref(m_state->handler);
}

namespace {

sim::Phone *find_phone(UsbEmulation::State &s, const std::string &label, size_t *index = nullptr) {
    for (size_t i = 0; i < s.phones.size(); ++i) {
        if (s.phones[i]->label() == label) {
            if (index != nullptr)
                *index = i;
            return s.phones[i].get();
        }
    }
    return nullptr;
}

} // namespace

bool UsbEmulation::unplug(const std::string &label) {
    std::unique_lock<std::mutex> guard(m_state->lock);
    sim::Phone *p = find_phone(*m_state, label);
    if (p == nullptr)
        return false;
    p->unplug("control");
    m_state->bus_round(guard);
    return true;
}

bool UsbEmulation::plug(const std::string &label) {
    std::unique_lock<std::mutex> guard(m_state->lock);
    sim::Phone *p = find_phone(*m_state, label);
    if (p == nullptr)
        return false;
    p->plug();
    m_state->bus_round(guard);
    return true;
}

bool UsbEmulation::set_write_mode(const std::string &label, WriteMode mode, uint32_t at) {
    std::lock_guard<std::mutex> guard(m_state->lock);
    size_t i = 0;
    if (find_phone(*m_state, label, &i) == nullptr)
        return false;
    m_state->write_modes[i] = mode;
    m_state->write_mode_at[i] = at;
    auto node = m_state->nodes.find(m_state->phone_node[i]);
    if (node != m_state->nodes.end())
        m_state->serve_held_writes(node->second);
    m_state->changed.notify_all();
    return true;
}

std::optional<std::string> UsbEmulation::port_path(const std::string &label) const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    size_t i = 0;
    if (find_phone(*m_state, label, &i) == nullptr)
        return std::nullopt;
    return m_state->port_of_phone(i);
}

std::string UsbEmulation::transcript() const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->transcript.text();
}

std::vector<std::string> UsbEmulation::faults() const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->faults;
}

EmulationStats UsbEmulation::stats() const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    return m_state->stats;
}

std::optional<std::vector<uint8_t>> UsbEmulation::partition(const std::string &label,
                                                            const std::string &name) const {
    std::lock_guard<std::mutex> guard(m_state->lock);
    sim::Phone *p = find_phone(*m_state, label);
    const sim::Partition *part = p != nullptr ? p->find_partition(name) : nullptr;
    if (part == nullptr || (part->image.size > 0 && part->image.bytes == nullptr))
        return std::nullopt;
    if (part->image.bytes == nullptr)
        return std::vector<uint8_t>();
    return *part->image.bytes;
}

bool UsbEmulation::wait_until(const std::function<bool(const EmulationStats &)> &ready,
                              std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> guard(m_state->lock);
    return m_state->changed.wait_for(guard, timeout, [&] { return ready(m_state->stats); });
}

std::string UsbEmulation::root_dir() const {
    gchar *dir = umockdev_testbed_get_root_dir(m_state->testbed);
    std::string text = dir != nullptr ? dir : "";
    g_free(dir);
    return text;
}

} // namespace tarnex::usb_emulation
