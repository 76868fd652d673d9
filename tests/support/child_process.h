// A program that a test or a benchmark runs and talks to: its standard input and output on pipes, its
// standard error in a file, its environment this process's. Killed if it still runs at the end.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

extern char **environ;

// A program with its standard input and output on pipes and its standard error in a file.
class ChildProcess {
public:
    // Starts ARGS[0] with this process's environment and VARIABLES ("NAME=value") added.
    bool start(const std::vector<std::string> &args, const std::string &stderr_file,
               const std::vector<std::string> &variables = {}) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            return false;
        if (pipe2(out, O_CLOEXEC) != 0) {
            close(in[0]), close(in[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, stderr_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        std::vector<char *> argv;
        for (const auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        std::vector<char *> environment;
        for (char **e = environ; *e != nullptr; ++e)
            environment.push_back(*e);
        for (const std::string &variable : variables)
            environment.push_back(const_cast<char *>(variable.c_str()));
        environment.push_back(nullptr);
        int rc = posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environment.data());
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        m_in = in[1];
        m_out = out[0];
        if (rc != 0)
            m_pid = -1;
        return rc == 0;
    }

    ~ChildProcess() {
        if (m_in >= 0)
            close(m_in);
        if (m_out >= 0)
            close(m_out);
        if (m_pid > 0 && !m_reaped) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
    }

    // False when the program no longer reads its input.
    bool say(const std::string &line) {
        std::string text = line + "\n";
        return write(m_in, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }

    void close_input() {
        close(m_in);
        m_in = -1;
    }

    // Reads lines (kept in `lines`) until DONE holds for one; false at the end of the output or after the
    // time-out.
    template <typename Done>
    bool read_until(Done done, std::chrono::milliseconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            size_t nl;
            while ((nl = m_buffer.find('\n')) != std::string::npos) {
                lines.push_back(m_buffer.substr(0, nl));
                m_buffer.erase(0, nl + 1);
                if (done(lines.back()))
                    return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            pollfd p{m_out, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[4096];
            ssize_t n = read(m_out, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            m_buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    // Reads lines until one is among `wanted`, and returns it; empty at the end of the output or after the
    // time-out.
    std::string wait_for_line(const std::vector<std::string> &wanted, std::chrono::seconds timeout) {
        std::string found;
        read_until(
            [&](const std::string &line) {
                if (std::find(wanted.begin(), wanted.end(), line) == wanted.end())
                    return false;
                found = line;
                return true;
            },
            timeout);
        return found;
    }

    bool wait_for_line(const std::string &wanted, std::chrono::seconds timeout) {
        return !wait_for_line(std::vector<std::string>{wanted}, timeout).empty();
    }

    // The exit code, or -1 when the program does not end in time (it is then killed).
    int wait_exit(std::chrono::seconds timeout) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
            // Draining the output keeps the program from blocking on a full pipe.
            pollfd p{m_out, POLLIN, 0};
            if (m_out >= 0 && poll(&p, 1, 50) > 0) {
                char chunk[4096];
                ssize_t n = read(m_out, chunk, sizeof chunk);
                if (n <= 0) {
                    close(m_out);
                    m_out = -1;
                } else {
                    m_buffer.append(chunk, static_cast<size_t>(n));
                }
            } else if (m_out < 0) {
                usleep(50000);
            }
        }
        m_reaped = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string output() const {
        std::string text;
        for (const auto &l : lines)
            text += l + "\n";
        return text + m_buffer;
    }

    // Its process id while it runs (for what /proc tells of it); -1 before start.
    pid_t pid() const { return m_pid; }

    std::vector<std::string> lines;

private:
    pid_t m_pid = -1;
    int m_in = -1, m_out = -1;
    bool m_reaped = false;
    std::string m_buffer;
};
