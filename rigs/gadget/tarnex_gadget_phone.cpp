// tarnex-gadget-phone: the simulated phones of a scenario as real USB devices of this machine, one
// gadget per device controller (dummy_hcd), served until it is told to end. See rigs/gadget/README.md.
#include "rigs/gadget/control_channel.h"
#include "rigs/gadget/gadget_phones.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>

using namespace tarnex;
using namespace tarnex::gadget;

namespace {

const char USAGE[] =
    "usage: tarnex-gadget-phone [OPTION...]\n"
    "Serves the simulated phones of a scenario as USB gadgets: phone K on the K-th USB device controller\n"
    "(dummy_hcd's dummy_udc.K-1), so that this machine's own USB stack sees them as devices on cables.\n"
    "Needs root, configfs and the modules dummy_hcd, libcomposite and usb_f_fs. Prints \"ready\" once the\n"
    "phones are on the bus and runs until told to end (\"quit\", SIGTERM, SIGINT).\n"
    "\n"
    "  --scenario FILE       the phones, in the simulated phone's scenario format (drivers/sim/README.md);\n"
    "                        default: $TARNEX_SIM_SCENARIO, else one healthy phone\n"
    "  --scenario-text TEXT  the same, given as text\n"
    "  --transcript FILE     write the phones' transcript to FILE (default: $TARNEX_SIM_TRANSCRIPT)\n"
    "  --partition-dir DIR   write DIR/LABEL/PARTITION.img after every flash and erase\n"
    "                        (default: $TARNEX_SIM_PARTITION_DIR)\n"
    "  --serial LABEL=TEXT   phone LABEL's serial number, any UTF-8 text\n"
    "  --control SOCKET      take commands on this Unix socket, one line per connection:\n"
    "                          unplug LABEL, plug LABEL   the gadget is unbound, bound again\n"
    "                          controller LABEL           answers the phone's device controller\n"
    "                          stats LABEL                answers phases=N bytes=B microseconds=U of the\n"
    "                                                     data phases, from DATA to the last byte, and\n"
    "                                                     stopped=1 while it holds or has halted\n"
    "                          hold LABEL [AT]            from byte AT of a data phase on (0 and AT a\n"
    "                          halt LABEL [AT]            multiple of the packet size), read none of its\n"
    "                                                     bytes (the host's transfers wait), or halt the\n"
    "                                                     bulk OUT endpoint (they end with a stall);\n"
    "                                                     given between the host's transfers\n"
    "                          release LABEL              read data phases again, clearing a halt\n"
    "                          quit                       ends the gadget phone\n"
    "  --mount-dir DIR       where the functions' file systems are mounted (default /run/tarnex-gadget)\n"
    "\n"
    "A gadget sees packets, not the host's calls: scenarios with counted time-outs, short writes or\n"
    "'open#K' rules are refused. Exit status: 0 when told to end, 125 when the phones cannot start.\n";

int fail(const std::string &text) {
    std::fprintf(stderr, "tarnex-gadget-phone: %s\n", text.c_str());
    return 125;
}

// A decimal byte count of 32 bits; empty text is 0.
bool byte_count(const std::string &text, uint32_t &value) {
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || (v = v * 10 + static_cast<uint64_t>(c - '0')) > UINT32_MAX)
            return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

std::string answer(GadgetPhones &phones, const std::string &line) {
    std::istringstream words(line);
    std::string verb, label;
    words >> verb >> label;
    std::string error;
    if (verb == "quit") {
        kill(getpid(), SIGTERM); // the main thread ends the phones once this answer is out
        return "ok";
    }
    if (verb == "unplug" || verb == "plug") {
        bool ok = verb == "unplug" ? phones.unplug(label, error) : phones.plug(label, error);
        return ok ? "ok" : "error " + error;
    }
    if (verb == "controller") {
        std::string controller = phones.controller(label);
        return controller.empty() ? "error no phone '" + label + "'" : "ok " + controller;
    }
    if (verb == "stats") {
        DataPhaseStats s;
        if (!phones.data_phase_stats(label, s))
            return "error no phone '" + label + "'";
        return "ok phases=" + std::to_string(s.phases) + " bytes=" + std::to_string(s.bytes) +
               " microseconds=" + std::to_string(s.microseconds) + " stopped=" + (s.stopped ? "1" : "0");
    }
    if (verb == "hold" || verb == "halt" || verb == "release") {
        std::string at_text, extra;
        words >> at_text >> extra;
        uint32_t at = 0;
        if (!extra.empty() || (verb == "release" ? !at_text.empty() : !byte_count(at_text, at)))
            return "error usage: " + verb + (verb == "release" ? " LABEL" : " LABEL [AT]");
        DataPhases what = verb == "hold"   ? DataPhases::HELD
                          : verb == "halt" ? DataPhases::HALTED
                                           : DataPhases::TAKEN;
        return phones.order(label, what, at, error) ? "ok" : "error " + error;
    }
    return "error unknown command '" + line + "'";
}

} // namespace

int main(int argc, char **argv) {
    sim::ScenarioChoice choice;
    GadgetOptions options;
    std::string control;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(USAGE, stdout);
            return 0;
        }
        if (i + 1 >= argc)
            return fail("unknown option or missing value: " + a + "\n" + USAGE);
        std::string v = argv[++i];
        if (a == "--scenario") {
            choice.file = v;
        } else if (a == "--scenario-text") {
            choice.text = v, choice.have_text = true;
        } else if (a == "--transcript") {
            choice.transcript = v;
        } else if (a == "--partition-dir") {
            choice.partition_dir = v;
        } else if (a == "--serial" && v.find('=') != std::string::npos) {
            options.serials[v.substr(0, v.find('='))] = v.substr(v.find('=') + 1);
        } else if (a == "--control") {
            control = v;
        } else if (a == "--mount-dir") {
            options.mount_dir = v;
        } else {
            return fail("unknown option or missing value: " + a + "\n" + USAGE);
        }
    }
    if (!choice.file.empty() && choice.have_text)
        return fail("--scenario and --scenario-text exclude each other");
    sim::Scenario scenario;
    std::string error;
    if (!sim::choose_scenario(choice, scenario, options.base, error))
        return fail(error);

    // The signals that end the gadget phone are taken by the main thread alone (every thread made from
    // here on inherits the mask), so the phones are always taken off the bus and their gadgets removed.
    sigset_t ending;
    sigemptyset(&ending);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&ending, s);
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    std::unique_ptr<GadgetPhones> phones = GadgetPhones::start(std::move(scenario), options, error);
    if (phones == nullptr)
        return fail(error);
    std::unique_ptr<ControlServer> server;
    if (!control.empty()) {
        server = ControlServer::start(
            control, [&](const std::string &line) { return answer(*phones, line); }, error);
        if (server == nullptr)
            return fail(error);
    }
    std::printf("ready\n");
    std::fflush(stdout);

    int received = 0;
    sigwait(&ending, &received);
    server.reset();
    phones.reset();
    return 0;
}
