// One USB device made by this process through the kernel's gadget framework: a configfs gadget with one
// FunctionFS function (one interface, one bulk IN and one bulk OUT endpoint, with full-speed and
// high-speed descriptors), whose endpoints this process reads and writes. Bound to a device controller
// (dummy_hcd's dummy_udc.N), it is a device on the host side of the same machine exactly like a phone on a
// cable: bind() plugs it in, unbind() pulls it out.
//
// Needs root, configfs at /sys/kernel/config and the modules libcomposite and usb_f_fs.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace tarnex::gadget {

struct GadgetDescription {
    std::string name; // names the configfs gadget and the FunctionFS instance: letters, digits, '_', '-', '.'
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
    uint8_t device_class[3] = {};    // class, subclass, protocol of the device descriptor
    uint8_t interface_class[3] = {}; // of the one interface
    std::string manufacturer, product;
    bool has_serial = true;
    std::string serial; // UTF-8; the kernel sends it as UTF-16
};

class UsbGadget {
public:
    // Removes what a gadget of this name left behind (its process was killed), then makes the gadget,
    // mounts its FunctionFS instance in `mount_dir`/NAME, writes the function's descriptors and opens its
    // endpoints. Not bound yet. Null with a sentence in `error`.
    static std::unique_ptr<UsbGadget> create(const GadgetDescription &description,
                                             const std::filesystem::path &mount_dir, std::string &error);
    // Unbinds, closes the endpoints, unmounts and removes the configfs entries.
    ~UsbGadget();
    UsbGadget(const UsbGadget &) = delete;
    UsbGadget &operator=(const UsbGadget &) = delete;

    // Binds the gadget to the device controller `udc` (the host sees a device arrive) or unbinds it (the
    // host sees it leave; the endpoints' pending reads and writes fail). False with a sentence in `error`.
    bool bind(const std::string &udc, std::string &error);
    bool unbind(std::string &error);

    // The function's control endpoint (its events) and its two bulk endpoints. A read or write blocks
    // until the host has moved the data; while the gadget is unbound it waits for the next bind.
    int ep0() const { return m_ep0; }
    int in() const { return m_in; }
    int out() const { return m_out; }

    // The OUT endpoint's packet size at the speed the host chose; 0 while the function is not in use.
    uint16_t out_packet_size() const;

    // The device controllers of this machine, in the order of their numbers ("dummy_udc.0", ...).
    static std::vector<std::string> controllers();

    // The number of the host's USB bus on which the gadgets of a dummy_hcd controller appear
    // (dummy_udc.K is wired to the host controller dummy_hcd.K), or -1.
    static int host_bus(const std::string &controller);

    // Removes a gadget of this name and its function's mount, whatever state they were left in.
    static void remove_leftovers(const std::string &name);

private:
    UsbGadget() = default;

    std::string m_name;
    std::filesystem::path m_mount;
    bool m_mounted = false;
    int m_ep0 = -1, m_in = -1, m_out = -1;
};

} // namespace tarnex::gadget
