// The control channel of a gadget phone: a Unix stream socket on which every connection carries one
// command line and gets one answer line back, "ok[ TEXT]" or "error TEXT". The tests use it to unplug
// and plug phones, to read what a phone measured and to end the gadget phone.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tarnex::gadget {

class ControlServer {
public:
    // Listens on `path` (what was there is removed) and hands every command line to `handle`, on a thread
    // of its own, one command at a time; the answer is what `handle` returns. Null with a sentence in
    // `error`.
    static std::unique_ptr<ControlServer> start(const std::string &path,
                                                std::function<std::string(const std::string &)> handle,
                                                std::string &error);
    // Finishes the command under way, stops listening and removes the socket.
    ~ControlServer();
    ControlServer(const ControlServer &) = delete;
    ControlServer &operator=(const ControlServer &) = delete;

private:
    ControlServer() = default;
    void serve();

    std::string m_path;
    std::function<std::string(const std::string &)> m_handle;
    int m_listen = -1;
    int m_stop[2] = {-1, -1};
    std::thread m_thread;
};

// Sends one command to the gadget phone listening on `path` and returns its answer line (without the
// line feed). False with a sentence in `error` when the socket cannot be reached or no answer comes.
bool control_command(const std::string &path, const std::string &command, std::string &answer,
                     std::string &error);

} // namespace tarnex::gadget
