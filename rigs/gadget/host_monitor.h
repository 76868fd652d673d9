// What the host controller reports of the bulk transfers on one USB bus, from the moment this is opened:
// usbmon's text interface (root, debugfs, the module usbmon), where every URB the host controller is given
// ('S') and gives back ('C') has a line such as "... S Bi:1:002:1 -115 64 <". It tells what the gadget's side
// cannot: dummy_hcd completes a gadget's IN write of up to 64 bytes before the host has read it (it emulates
// a device's FIFO), and a read the host has submitted is not seen by the gadget at all until it has something
// to send; nor does it see a transfer of the host that it has not read (it waits at the host controller,
// NAKed) or one the host cancels.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace tarnex::gadget {

class HostMonitor {
public:
    // Null with a sentence in `error` where usbmon cannot be read.
    static std::unique_ptr<HostMonitor> open(int bus, std::string &error);
    ~HostMonitor();
    HostMonitor(const HostMonitor &) = delete;
    HostMonitor &operator=(const HostMonitor &) = delete;

    // True once a bulk IN transfer on the bus was submitted (`event` 'S') or given back ('C') since the
    // monitor was opened. Never blocks.
    bool bulk_in(char event);

    // The bulk OUT transfers submitted on the bus since the monitor was opened: those not given back yet,
    // and those given back cancelled by the host (ENOENT, ECONNRESET). Never blocks. usbmon's text
    // interface keeps about a hundred events for a reader and drops the rest, so this counts right only
    // where little happens between two looks.
    struct BulkOut {
        uint32_t pending = 0;
        uint32_t cancelled = 0;
    };
    BulkOut bulk_out();

private:
    HostMonitor() = default;
    void take_in();

    int m_fd = -1;
    int m_bus = 0;
    std::string m_seen;
    size_t m_parsed = 0;              // m_seen up to here has been looked at by bulk_out
    std::set<std::string> m_out_urbs; // bulk OUT transfers submitted and not given back, by their tag
    uint32_t m_out_cancelled = 0;
};

} // namespace tarnex::gadget
