// A tarnex-gadget-phone that a test or a benchmark runs: started with a scenario, worked through its
// control socket, waited for on the host's side of the bus, and ended (told to, or killed as a crash
// would end it). Everything it writes goes into one folder: the scenario, the transcript, the partitions,
// the control socket and its standard error (gadget.log).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tarnex::gadget {

class GadgetProcess {
public:
    GadgetProcess() = default;
    // Kills it when it still runs.
    ~GadgetProcess();
    GadgetProcess(const GadgetProcess &) = delete;
    GadgetProcess &operator=(const GadgetProcess &) = delete;

    // Starts `program` on the scenario text in `folder`, with `options` added to its command line, and
    // waits for its "ready". False with a sentence in `error` (what the program said, when it ended).
    bool start(const std::string &program, const std::string &folder, const std::string &scenario,
               const std::vector<std::string> &options, std::string &error);

    // Sends one command; true for an "ok" answer, with what follows it in `answer`, else false with the
    // reason in `error`.
    bool command(const std::string &line, std::string &answer, std::string &error) const;

    // The host's bus number of phone LABEL, or -1 with the reason in `error`.
    int host_bus(const std::string &label, std::string &error) const;

    // Waits until the host's kernel has configured phone LABEL's interface (or removed the device) and
    // udevd has passed that on ($TARNEX_UDEVADM settle), as a person waits for a phone to show up.
    bool wait_host(const std::string &label, bool present, std::string &error) const;

    // Tells it to end and reaps it; false with a sentence in `error` when it does not end in time (it is
    // then killed) or ends with another status than 0.
    bool stop(std::string &error);
    // Ends it at once (SIGKILL) and reaps it.
    void kill();

    bool running() const { return m_pid > 0; }
    const std::string &folder() const { return m_folder; }
    std::string log() const;

private:
    std::string control() const { return m_folder + "/control.sock"; }

    std::string m_folder;
    pid_t m_pid = -1;
    int m_out = -1;
};

} // namespace tarnex::gadget
