#include "rigs/gadget/host_monitor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

bool HostMonitor::bulk_in(char event) {
    char chunk[4096];
    ssize_t n;
    while ((n = read(m_fd, chunk, sizeof chunk)) > 0)
        m_seen.append(chunk, static_cast<size_t>(n));
    // A root hub has interrupt endpoints only: any bulk IN transfer is a device's.
    return m_seen.find(std::string(" ") + event + " Bi:" + std::to_string(m_bus) + ":") != std::string::npos;
}

} // namespace tarnex::gadget
