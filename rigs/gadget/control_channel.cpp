#include "rigs/gadget/control_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarnex::gadget {

namespace {

// Commands and answers are one short line; anything longer is not ours.
constexpr size_t MAX_LINE = 4096;

bool socket_address(const std::string &path, sockaddr_un &address, std::string &error) {
    address = {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path) {
        error = "the control socket's path must have 1 to " + std::to_string(sizeof address.sun_path - 1) +
                " bytes: " + path;
        return false;
    }
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return true;
}

// Reads up to the first line feed (not included); false when the peer ends first.
bool read_line(int fd, std::string &line) {
    line.clear();
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        if (c == '\n')
            return true;
        if (line.size() >= MAX_LINE)
            return false;
        line += c;
    }
}

bool write_line(int fd, const std::string &line) {
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::unique_ptr<ControlServer> ControlServer::start(const std::string &path,
                                                    std::function<std::string(const std::string &)> handle,
                                                    std::string &error) {
    sockaddr_un address;
    if (!socket_address(path, address, error))
        return nullptr;
    std::unique_ptr<ControlServer> server(new ControlServer);
    server->m_path = path;
    server->m_handle = std::move(handle);
    unlink(path.c_str());
    server->m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server->m_listen < 0 ||
        bind(server->m_listen, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        listen(server->m_listen, 4) != 0 || pipe2(server->m_stop, O_CLOEXEC) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    ControlServer *raw = server.get();
    server->m_thread = std::thread([raw] { raw->serve(); });
    return server;
}

ControlServer::~ControlServer() {
    if (m_thread.joinable()) {
        char stop = 0;
        ssize_t ignored = write(m_stop[1], &stop, 1);
        (void)ignored;
        m_thread.join();
    }
    for (int fd : {m_listen, m_stop[0], m_stop[1]}) {
        if (fd >= 0)
            close(fd);
    }
    if (m_listen >= 0)
        unlink(m_path.c_str());
}

void ControlServer::serve() {
    for (;;) {
        pollfd fds[2] = {{m_listen, POLLIN, 0}, {m_stop[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        int peer = accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0)
            continue;
        std::string line;
        if (read_line(peer, line))
            write_line(peer, m_handle(line));
        close(peer);
    }
}

bool control_command(const std::string &path, const std::string &command, std::string &answer,
                     std::string &error) {
    sockaddr_un address;
    if (!socket_address(path, address, error))
        return false;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        error = "cannot reach the gadget phone at " + path + ": " + std::strerror(errno);
        if (fd >= 0)
            close(fd);
        return false;
    }
    bool ok = write_line(fd, command) && read_line(fd, answer);
    close(fd);
    if (!ok)
        error = "the gadget phone at " + path + " did not answer '" + command + "'";
    return ok;
}

} // namespace tarnex::gadget
