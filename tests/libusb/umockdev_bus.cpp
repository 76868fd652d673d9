// The bus of the build machine's tests (test_bus.h): libusb's own code over umockdev's emulated usbdevfs,
// the phones served in this test process (rigs/usb_emulation). Programs the cases start inherit the
// preload and the test bed's UMOCKDEV_DIR, and see the same bus.
#include "tests/libusb/libusb_test.h"
#include "tests/libusb/test_bus.h"

using tarnex::usb_emulation::EmulationStats;
using tarnex::usb_emulation::UsbEmulation;
using tarnex::usb_emulation::WriteMode;

namespace {

class UmockdevBus : public TestBus {
public:
    std::string unavailable() override { return libusb_test::emulation_unavailable(); }

    std::string lacks(BusFeature feature) override {
        if (feature == BusFeature::PHONE_PROCESS)
            return "the emulated phones are served in the test's own process: there is none to kill";
        return {};
    }

    bool start(const std::string &scenario_text, const BusOptions &options) override {
        tarnex::sim::Scenario scenario;
        std::string error;
        if (!tarnex::sim::parse_scenario(scenario_text, scenario, error)) {
            ADD_FAILURE() << "scenario: " << error;
            return false;
        }
        tarnex::usb_emulation::EmulationOptions emulation_options;
        emulation_options.mass_storage = options.other_devices;
        emulation_options.serials = options.serials;
        m_emulation = UsbEmulation::start(std::move(scenario), emulation_options, error);
        if (m_emulation == nullptr)
            ADD_FAILURE() << "emulation: " << error;
        return m_emulation != nullptr;
    }

    // Phone K on port K of the hub on port 4; its fastboot interface is interface 1, after the debug one.
    std::string interface_name(const std::string &label) override {
        std::optional<std::string> port = m_emulation->port_path(label);
        return port ? "usb:" + *port + ":1" : "";
    }

    bool unplug(const std::string &label) override { return m_emulation->unplug(label); }
    bool plug(const std::string &label) override { return m_emulation->plug(label); }

    bool wait_read_pending(const std::string &, const std::function<void()> &start_read,
                           std::chrono::milliseconds timeout) override {
        uint32_t before = m_emulation->stats().reads_waiting;
        start_read();
        return m_emulation->wait_until(
            [&](const tarnex::usb_emulation::EmulationStats &s) { return s.reads_waiting > before; },
            timeout);
    }

    bool set_data_phases(const std::string &label, DataPhases what, uint32_t at) override {
        m_writes_discarded = m_emulation->stats().writes_discarded;
        WriteMode mode = what == DataPhases::HELD     ? WriteMode::HOLD
                         : what == DataPhases::HALTED ? WriteMode::STALL
                                                      : WriteMode::NORMAL;
        bool ok = m_emulation->set_write_mode(label, mode, at);
        EXPECT_TRUE(ok) << "no phone '" << label << "'";
        return ok;
    }

    bool wait_holding(const std::string &, std::chrono::milliseconds timeout) override {
        return m_emulation->wait_until([](const EmulationStats &s) { return s.writes_waiting > 0; }, timeout);
    }

    // The emulation counts the whole bus; the cases that look ask about one phone at a time.
    OutTransfers out_transfers(const std::string &) override {
        EmulationStats s = m_emulation->stats();
        return {s.writes_waiting, static_cast<uint32_t>(s.writes_discarded - m_writes_discarded)};
    }

    bool kill_phones() override { return false; }

    std::string transcript() override { return m_emulation->transcript(); }

    std::optional<std::vector<uint8_t>> partition(const std::string &label,
                                                  const std::string &name) override {
        return m_emulation->partition(label, name);
    }

    HostCalls host_calls() override {
        tarnex::usb_emulation::EmulationStats s = m_emulation->stats();
        return {s.opens, s.claims, s.releases};
    }

    std::string stop() override {
        std::string faults;
        if (m_emulation != nullptr) {
            for (const auto &f : m_emulation->faults())
                faults += f + "\n";
        }
        m_emulation.reset();
        return faults;
    }

private:
    std::unique_ptr<UsbEmulation> m_emulation;
    uint64_t m_writes_discarded = 0; // at the last set_data_phases
};

} // namespace

std::unique_ptr<TestBus> make_test_bus() {
    return std::make_unique<UmockdevBus>();
}

int main(int argc, char **argv) {
    libusb_test::restart_under_umockdev(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
