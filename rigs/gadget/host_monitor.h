// What the host controller reports of the bulk IN transfers on one USB bus, from the moment this is
// opened: usbmon's text interface (root, debugfs, the module usbmon), where every URB the host controller
// is given ('S') and gives back ('C') has a line such as "... S Bi:1:002:1 -115 64 <". It tells what the
// gadget's side cannot: dummy_hcd completes a gadget's IN write of up to 64 bytes before the host has
// read it (it emulates a device's FIFO), and a read the host has submitted is not seen by the gadget at
// all until it has something to send.
#pragma once

#include <memory>
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

private:
    HostMonitor() = default;
    int m_fd = -1;
    int m_bus = 0;
    std::string m_seen;
};

} // namespace tarnex::gadget
