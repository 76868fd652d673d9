#include "rigs/gadget/usb_gadget.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace tarnex::gadget {

namespace {

const fs::path CONFIGFS = "/sys/kernel/config";
const fs::path GADGETS = CONFIGFS / "usb_gadget";
const fs::path CONTROLLERS = "/sys/class/udc";
// Packet sizes of the bulk endpoints: what USB 2.0 prescribes at each speed.
constexpr uint16_t FULL_SPEED_PACKET = 64, HIGH_SPEED_PACKET = 512;

fs::path gadget_dir(const std::string &name) {
    return GADGETS / ("tarnex-" + name);
}

std::string system_error(const std::string &what) {
    return what + ": " + std::strerror(errno);
}

// Writes one configfs attribute; false with a sentence in `error`.
bool write_attribute(const fs::path &path, const std::string &value, std::string &error) {
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        error = system_error("cannot open " + path.string());
        return false;
    }
    ssize_t n = write(fd, value.data(), value.size());
    int saved = errno;
    close(fd);
    if (n != static_cast<ssize_t>(value.size())) {
        errno = n < 0 ? saved : EIO;
        error = system_error("cannot write '" + value + "' to " + path.string());
        return false;
    }
    return true;
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

void put_le16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_le32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void set_le32(std::vector<uint8_t> &out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// The interface and its two endpoints at one speed. FunctionFS numbers the endpoint files in this order:
// ep1 is the IN endpoint, ep2 the OUT endpoint.
void put_interface(std::vector<uint8_t> &out, const uint8_t cls[3], uint16_t packet) {
    out.insert(out.end(), {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, cls[0], cls[1], cls[2], 0});
    out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK});
    put_le16(out, packet);
    out.push_back(0);
    out.insert(out.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK});
    put_le16(out, packet);
    out.push_back(0);
}

// What ep0 takes first: the function's descriptors, at full and at high speed.
std::vector<uint8_t> function_descriptors(const uint8_t cls[3]) {
    std::vector<uint8_t> d;
    put_le32(d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    put_le32(d, 0); // length, below
    put_le32(d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    put_le32(d, 3); // descriptors at full speed
    put_le32(d, 3); // and at high speed
    put_interface(d, cls, FULL_SPEED_PACKET);
    put_interface(d, cls, HIGH_SPEED_PACKET);
    set_le32(d, 4, static_cast<uint32_t>(d.size()));
    return d;
}

// And then its strings: none (the interface has no name).
std::vector<uint8_t> function_strings() {
    std::vector<uint8_t> s;
    put_le32(s, FUNCTIONFS_STRINGS_MAGIC);
    put_le32(s, 16);
    put_le32(s, 0);
    put_le32(s, 0);
    return s;
}

bool write_all(int fd, const std::vector<uint8_t> &bytes, const std::string &what, std::string &error) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n != static_cast<ssize_t>(bytes.size())) {
        if (n >= 0)
            errno = EIO;
        error = system_error("cannot write the function's " + what);
        return false;
    }
    return true;
}

} // namespace

std::vector<std::string> UsbGadget::controllers() {
    std::vector<std::pair<long, std::string>> found;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(CONTROLLERS, ec)) {
        std::string name = entry.path().filename().string();
        size_t dot = name.find_last_of('.');
        long number = dot == std::string::npos ? 0 : std::strtol(name.c_str() + dot + 1, nullptr, 10);
        found.emplace_back(number, name);
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> names;
    for (auto &f : found)
        names.push_back(f.second);
    return names;
}

int UsbGadget::host_bus(const std::string &controller) {
    fs::path hcd = "/sys/devices/platform/dummy_hcd." + controller.substr(controller.find_last_of('.') + 1);
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(hcd, ec)) {
        // "usbN", the root hub of bus N (beside it "usbmon", among others).
        std::string name = entry.path().filename().string();
        if (name.size() > 3 && name.rfind("usb", 0) == 0 && std::isdigit(static_cast<unsigned char>(name[3])))
            return std::atoi(name.c_str() + 3);
    }
    return -1;
}

void UsbGadget::remove_leftovers(const std::string &name) {
    fs::path g = gadget_dir(name);
    std::string ignored;
    std::error_code ec;
    write_attribute(g / "UDC", "\n", ignored); // fails when it is not bound: so much the better
    // The function's file system first: its instance cannot go while it is mounted.
    std::ifstream mounts("/proc/self/mounts");
    std::vector<std::string> targets;
    for (std::string source, target, type, rest;
         mounts >> source >> target >> type && std::getline(mounts, rest);) {
        if (type == "functionfs" && source == name)
            targets.push_back(target);
    }
    for (const auto &t : targets)
        umount2(t.c_str(), MNT_DETACH);
    if (!fs::exists(g, ec))
        return;
    unlink((g / "configs/c.1" / ("ffs." + name)).c_str());
    rmdir((g / "configs/c.1/strings/0x409").c_str());
    rmdir((g / "configs/c.1").c_str());
    rmdir((g / "functions" / ("ffs." + name)).c_str());
    rmdir((g / "strings/0x409").c_str());
    rmdir(g.c_str());
}

std::unique_ptr<UsbGadget> UsbGadget::create(const GadgetDescription &description, const fs::path &mount_dir,
                                             std::string &error) {
    std::error_code ec;
    if (!fs::exists(GADGETS, ec)) {
        error = GADGETS.string() + " does not exist: configfs is not mounted at " + CONFIGFS.string() +
                ", or the module libcomposite is not loaded";
        return nullptr;
    }
    remove_leftovers(description.name);
    std::unique_ptr<UsbGadget> g(new UsbGadget);
    g->m_name = description.name;
    fs::path dir = gadget_dir(description.name);
    auto make = [&](const fs::path &p) {
        if (mkdir(p.c_str(), 0755) != 0 && errno != EEXIST) {
            error = system_error("cannot make " + p.string());
            return false;
        }
        return true;
    };
    const fs::path function = dir / "functions" / ("ffs." + description.name);
    const fs::path config = dir / "configs/c.1";
    bool made = make(dir) && write_attribute(dir / "idVendor", hex(description.vendor_id, 4), error) &&
                write_attribute(dir / "idProduct", hex(description.product_id, 4), error) &&
                write_attribute(dir / "bcdDevice", "0x0100", error) &&
                write_attribute(dir / "bcdUSB", "0x0200", error) &&
                write_attribute(dir / "bDeviceClass", hex(description.device_class[0], 2), error) &&
                write_attribute(dir / "bDeviceSubClass", hex(description.device_class[1], 2), error) &&
                write_attribute(dir / "bDeviceProtocol", hex(description.device_class[2], 2), error) &&
                make(dir / "strings/0x409") &&
                write_attribute(dir / "strings/0x409/manufacturer", description.manufacturer, error) &&
                write_attribute(dir / "strings/0x409/product", description.product, error) &&
                (!description.has_serial ||
                 write_attribute(dir / "strings/0x409/serialnumber", description.serial, error)) &&
                make(config) && make(config / "strings/0x409") &&
                write_attribute(config / "strings/0x409/configuration", "fastboot", error) && make(function);
    if (!made)
        return nullptr;
    if (symlink(function.c_str(), (config / ("ffs." + description.name)).c_str()) != 0) {
        error = system_error("cannot put the function into " + config.string());
        return nullptr;
    }
    g->m_mount = mount_dir / description.name;
    fs::create_directories(g->m_mount, ec);
    if (mount(description.name.c_str(), g->m_mount.c_str(), "functionfs", 0, nullptr) != 0) {
        error = system_error("cannot mount the function's file system on " + g->m_mount.string());
        return nullptr;
    }
    g->m_mounted = true;
    g->m_ep0 = open((g->m_mount / "ep0").c_str(), O_RDWR | O_CLOEXEC);
    if (g->m_ep0 < 0) {
        error = system_error("cannot open " + (g->m_mount / "ep0").string());
        return nullptr;
    }
    if (!write_all(g->m_ep0, function_descriptors(description.interface_class), "descriptors", error) ||
        !write_all(g->m_ep0, function_strings(), "strings", error))
        return nullptr;
    g->m_in = open((g->m_mount / "ep1").c_str(), O_RDWR | O_CLOEXEC);
    g->m_out = open((g->m_mount / "ep2").c_str(), O_RDWR | O_CLOEXEC);
    if (g->m_in < 0 || g->m_out < 0) {
        error = system_error("cannot open the function's endpoints in " + g->m_mount.string());
        return nullptr;
    }
    return g;
}

UsbGadget::~UsbGadget() {
    std::string ignored;
    std::error_code ec;
    unbind(ignored);
    for (int fd : {m_in, m_out, m_ep0}) {
        if (fd >= 0)
            close(fd);
    }
    if (m_mounted)
        umount2(m_mount.c_str(), MNT_DETACH);
    fs::remove(m_mount, ec);
    remove_leftovers(m_name);
}

bool UsbGadget::bind(const std::string &udc, std::string &error) {
    return write_attribute(gadget_dir(m_name) / "UDC", udc + "\n", error);
}

bool UsbGadget::unbind(std::string &error) {
    return write_attribute(gadget_dir(m_name) / "UDC", "\n", error);
}

uint16_t UsbGadget::out_packet_size() const {
    usb_endpoint_descriptor d{};
    if (ioctl(m_out, FUNCTIONFS_ENDPOINT_DESC, &d) != 0)
        return 0;
    return static_cast<uint16_t>(d.wMaxPacketSize & 0x7FF);
}

} // namespace tarnex::gadget
