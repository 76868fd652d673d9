#include "rigs/gadget/host_monitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace tarnex::gadget {

std::unique_ptr<HostMonitor> HostMonitor::open(int bus, std::string &error) {
    std::string path = "/sys/kernel/debug/usb/usbmon/" + std::to_string(bus) + "u";
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + " (usbmon, debugfs): " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<HostMonitor> monitor(new HostMonitor);
    monitor->m_fd = fd;
    monitor->m_bus = bus;
    return monitor;
}

HostMonitor::~HostMonitor() {
    close(m_fd);
}

void HostMonitor::take_in() {
    char chunk[4096];
    ssize_t n;
    while ((n = read(m_fd, chunk, sizeof chunk)) > 0)
        m_seen.append(chunk, static_cast<size_t>(n));
}

bool HostMonitor::bulk_in(char event) {
    take_in();
    // A root hub has interrupt endpoints only: any bulk IN transfer is a device's.
    return m_seen.find(std::string(" ") + event + " Bi:" + std::to_string(m_bus) + ":") != std::string::npos;
}

HostMonitor::BulkOut HostMonitor::bulk_out() {
    take_in();
    // One event per line: "TAG TIMESTAMP EVENT ADDRESS STATUS ...", such as
    // "ffff8880062a3c00 2517310745 S Bo:3:002:1 -115 4096 = 5a5a5a5a ..." and its
    // "ffff8880062a3c00 2517311822 C Bo:3:002:1 0 4096 >". A transfer given back whose submission came
    // before the monitor was opened is none of its business.
    for (size_t end; (end = m_seen.find('\n', m_parsed)) != std::string::npos; m_parsed = end + 1) {
        std::istringstream line(m_seen.substr(m_parsed, end - m_parsed));
        std::string tag, stamp, event, address;
        int status = 0;
        if (!(line >> tag >> stamp >> event >> address >> status) || address.rfind("Bo:", 0) != 0)
            continue;
        if (event == "S")
            m_out_urbs.insert(tag);
        else if (event == "C" && m_out_urbs.erase(tag) > 0 && (status == -ENOENT || status == -ECONNRESET))
            ++m_out_cancelled;
    }
    return {static_cast<uint32_t>(m_out_urbs.size()), m_out_cancelled};
}

} // namespace tarnex::gadget
