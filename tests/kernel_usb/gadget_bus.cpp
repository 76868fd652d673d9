// The bus of the kernel USB tier (tests/libusb/test_bus.h): the kernel's own USB stack in the test machine
// of rigs/vm, with the phones served by tarnex-gadget-phone (rigs/gadget) as configfs gadgets on dummy_hcd,
// phone K on the K-th dummy controller, each controller a bus of its own with the phone on port 1. The
// cases run as root inside that machine (make test-kernel-usb); anywhere else they skip and say so.
//
// Plugs and unplugs go through the gadget phone's control socket, and wait for the host's side
// (rigs/gadget/gadget_process.h), and so do the orders to hold or halt a phone's data phases. A read
// pending at the phone, and the host's writes that wait at it or were cancelled, are seen in usbmon's text
// interface, where the host controller reports every URB it is given and gives back.
#include "drivers/sim/scenario.h"
#include "rigs/gadget/gadget_process.h"
#include "rigs/gadget/host_monitor.h"
#include "rigs/gadget/usb_gadget.h"
#include "tests/libusb/test_bus.h"
#include "tests/support/test_files.h"

#include <unistd.h>

#include <filesystem>
#include <map>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using tarnex::gadget::GadgetProcess;
using tarnex::gadget::HostMonitor;
using tarnex::gadget::UsbGadget;

namespace {

class GadgetBus : public TestBus {
public:
    std::string unavailable() override {
        if (geteuid() != 0 || UsbGadget::controllers().empty() ||
            !fs::exists("/sys/kernel/config/usb_gadget"))
            return "not in the test machine (no dummy_hcd controllers, no configfs gadgets, or not root): "
                   "make test-kernel-usb runs these cases there";
        if (!fs::exists(gadget_program()))
            return gadget_program() + " is not built";
        return {};
    }

    std::string lacks(BusFeature feature) override {
        switch (feature) {
        case BusFeature::HOST_CALLS:
            return "a gadget phone sees the host's packets, not its calls (opens, claims, time-outs, short "
                   "writes)";
        case BusFeature::OTHER_DEVICES:
            return "the gadget phone makes phones only";
        case BusFeature::PHONE_PROCESS:
            return {};
        }
        return {};
    }

    bool start(const std::string &scenario_text, const BusOptions &options) override {
        std::string error;
        if (!tarnex::sim::parse_scenario(scenario_text, m_scenario, error)) {
            ADD_FAILURE() << "scenario: " << error;
            return false;
        }
        std::vector<std::string> extra;
        for (const auto &[label, serial] : options.serials) {
            extra.push_back("--serial");
            extra.push_back(label + "=" + serial);
        }
        if (!m_gadget.start(gadget_program(), m_dir.Path(), scenario_text, extra, error)) {
            ADD_FAILURE() << error;
            return false;
        }
        for (const auto &device : m_scenario.devices) {
            if (device.plugged && !m_gadget.wait_host(device.label, true, error)) {
                ADD_FAILURE() << error;
                return false;
            }
        }
        return true;
    }

    std::string interface_name(const std::string &label) override {
        int bus = bus_of(label);
        return bus < 0 ? "" : "usb:" + std::to_string(bus) + "-1:0";
    }

    bool unplug(const std::string &label) override { return change(label, false); }
    bool plug(const std::string &label) override { return change(label, true); }

    bool wait_read_pending(const std::string &label, const std::function<void()> &start_read,
                           std::chrono::milliseconds timeout) override {
        // Opened before the read starts, so that its submission is among what it reports.
        std::string error;
        std::unique_ptr<HostMonitor> host = HostMonitor::open(bus_of(label), error);
        start_read();
        if (host == nullptr) {
            ADD_FAILURE() << error;
            return false;
        }
        return eventually([&] { return host->bulk_in('S'); }, timeout);
    }

    bool set_data_phases(const std::string &label, DataPhases what, uint32_t at) override {
        // Opened before the order, so that what the host submits after it is counted.
        std::string error, answer;
        std::unique_ptr<HostMonitor> &host = m_monitors[label];
        host = HostMonitor::open(bus_of(label), error);
        std::string command = what == DataPhases::HELD     ? "hold " + label + " " + std::to_string(at)
                              : what == DataPhases::HALTED ? "halt " + label + " " + std::to_string(at)
                                                           : "release " + label;
        if (host == nullptr || !m_gadget.command(command, answer, error)) {
            ADD_FAILURE() << error;
            return false;
        }
        return true;
    }

    bool wait_holding(const std::string &label, std::chrono::milliseconds timeout) override {
        return eventually(
            [&] {
                std::string answer, error;
                return m_gadget.command("stats " + label, answer, error) &&
                       answer.find(" stopped=1") != std::string::npos;
            },
            timeout);
    }

    OutTransfers out_transfers(const std::string &label) override {
        auto host = m_monitors.find(label);
        if (host == m_monitors.end() || host->second == nullptr)
            return {};
        HostMonitor::BulkOut seen = host->second->bulk_out();
        return {seen.pending, seen.cancelled};
    }

    bool kill_phones() override {
        if (!m_gadget.running())
            return false;
        m_gadget.kill();
        m_killed = true;
        return true;
    }

    std::string transcript() override {
        std::vector<uint8_t> bytes = read_file(m_dir.Path("transcript.txt"));
        return std::string(bytes.begin(), bytes.end());
    }

    std::optional<std::vector<uint8_t>> partition(const std::string &label,
                                                  const std::string &name) override {
        fs::path file = fs::path(m_dir.Path("partitions")) / label / (name + ".img");
        if (!fs::exists(file))
            return std::nullopt;
        return read_file(file.string());
    }

    HostCalls host_calls() override { return {}; }

    std::string stop() override {
        std::string faults, error;
        if (!m_gadget.stop(error))
            faults += error + "\n";
        // What a killed gadget phone leaves behind is the next one's to remove; here it goes at once.
        if (m_killed) {
            for (const auto &device : m_scenario.devices)
                UsbGadget::remove_leftovers(device.label);
        }
        std::error_code ec;
        for (const auto &entry : fs::directory_iterator("/sys/kernel/config/usb_gadget", ec))
            faults += "a gadget was left behind: " + entry.path().string() + "\n";
        return faults;
    }

private:
    static std::string gadget_program() { return libusb_test::program_dir() + "/tarnex-gadget-phone"; }

    int bus_of(const std::string &label) {
        std::string error;
        int bus = m_gadget.host_bus(label, error);
        if (bus < 0)
            ADD_FAILURE() << error;
        return bus;
    }

    bool change(const std::string &label, bool plugged) {
        std::string answer, error;
        bool ok = m_gadget.command((plugged ? "plug " : "unplug ") + label, answer, error) &&
                  m_gadget.wait_host(label, plugged, error);
        if (!ok)
            ADD_FAILURE() << error;
        return ok;
    }

    TempDir m_dir;
    GadgetProcess m_gadget;
    tarnex::sim::Scenario m_scenario;
    bool m_killed = false;
    std::map<std::string, std::unique_ptr<HostMonitor>> m_monitors; // since each phone's last order
};

} // namespace

std::unique_ptr<TestBus> make_test_bus() {
    return std::make_unique<GadgetBus>();
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
