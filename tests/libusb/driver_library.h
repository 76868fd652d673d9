// The libusb driver library as the tests load it (from the test program's own folder, where the build
// puts it, bound into g_DriverApi the way the product binds its driver), and the few ways the tests talk
// through it: the twelve operations, and the product's own transport where that is how they are used.
#pragma once

#include "os/os_api.h"
#include "usb/bulk_transfer.h"
#include "usb/driver_api.h"
#include "usb/interface_entry.h"
#include "usb/usb_device.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace libusb_test {

// The folder of this test program, where the build puts the libraries and programs too.
inline std::string program_dir() {
    std::string self;
    os_platform_api().executable_path(&self);
    return self.substr(0, self.find_last_of('/'));
}

class DriverLibrary {
public:
    ~DriverLibrary() { unload(); }

    // Loads TARNEX_LIBUSB_FILE and binds it; false with a sentence in `error`.
    bool load(std::string &error) {
        std::string missing;
        m_library = g_OsApi.library_load((program_dir() + "/" + TARNEX_LIBUSB_FILE).c_str(), &error);
        if (m_library == nullptr) {
            error = "cannot load the driver library: " + error;
            return false;
        }
        if (!bind_driver_api(m_library, &g_DriverApi, &missing)) {
            error = "the driver library lacks " + missing;
            return false;
        }
        return true;
    }

    // Unloads it, which ends its libusb context: do it before the bus goes.
    void unload() {
        g_DriverApi = DriverApi{};
        if (m_library != nullptr)
            g_OsApi.library_unload(m_library);
        m_library = nullptr;
    }

private:
    OsLibrary m_library = nullptr;
};

constexpr uint32_t ENTRY_SIZE = 2048;

inline std::u16string u16(const std::string &s) {
    return std::u16string(s.begin(), s.end());
}

struct Listing {
    std::vector<std::string> names;
    std::vector<AdbGuid> guids;
    int end_error = 0;
};

// Every entry of one enumeration of the library.
inline Listing list_interfaces(AdbGuid guid = ANDROID_USB_CLASS_ID) {
    Listing out;
    ADBAPIHANDLE e = g_DriverApi.AdbEnumInterfaces(guid, true, true, true);
    EXPECT_NE(e, nullptr) << std::strerror(errno);
    if (e == nullptr)
        return out;
    alignas(8) uint8_t entry[ENTRY_SIZE];
    for (;;) {
        uint32_t size = ENTRY_SIZE;
        if (!g_DriverApi.AdbNextInterface(e, reinterpret_cast<AdbInterfaceInfo *>(entry), &size)) {
            out.end_error = errno;
            break;
        }
        AdbGuid g;
        std::memcpy(&g, entry, sizeof g);
        out.guids.push_back(g);
        std::string name;
        for (uint32_t i = ADB_INTERFACE_NAME_OFFSET; i + 1 < size && (entry[i] | entry[i + 1]) != 0; i += 2)
            name += static_cast<char>(entry[i]);
        out.names.push_back(name);
    }
    EXPECT_TRUE(g_DriverApi.AdbCloseHandle(e));
    return out;
}

inline ADBAPIHANDLE open_by_name(const std::string &name) {
    std::u16string n = u16(name);
    return g_DriverApi.AdbCreateInterfaceByName(n.c_str());
}

// An interface opened the product's way (both endpoints), or null with errno set.
inline UsbDeviceHandle *open_device(const std::string &name) {
    std::u16string n = u16(name);
    return open_device_interface(n.c_str());
}

// A command and its one reply, through the product's transport.
inline std::string talk(UsbDeviceHandle *device, const std::string &command) {
    if (bulk_write(device, 0, command.data(), static_cast<int32_t>(command.size()), 1) !=
        static_cast<int32_t>(command.size()))
        return "write failed: " + std::string(std::strerror(errno));
    char reply[64];
    int32_t n = bulk_read(device, reply, sizeof reply);
    if (n < 0)
        return "read failed: " + std::string(std::strerror(errno));
    return std::string(reply, static_cast<size_t>(n));
}

// One data chunk of 4096 bytes through the driver, as the flasher writes it; 0 on success, else errno (-1
// when the call failed without one).
inline int write_chunk(UsbDeviceHandle *device, const uint8_t *data, uint32_t timeout_ms = 60000) {
    uint32_t n = 0;
    errno = 0;
    bool ok = g_DriverApi.AdbWriteEndpointSync(device->write_endpoint, const_cast<uint8_t *>(data), 4096, &n,
                                               timeout_ms);
    return ok && n == 4096 ? 0 : errno != 0 ? errno : -1;
}

// One status read through the driver; 0 with the reply in `reply`, else errno.
inline int read_reply(UsbDeviceHandle *device, std::string &reply) {
    char buffer[64];
    uint32_t n = 0;
    errno = 0;
    bool ok = g_DriverApi.AdbReadEndpointSync(device->read_endpoint, buffer, sizeof buffer, &n, 5000);
    reply.assign(buffer, ok ? n : 0);
    return ok ? 0 : errno;
}

// Bytes that show where each block belongs.
inline std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    return bytes;
}

// Downloads `data` and flashes it into `partition`; "" when every step was answered as it should be.
inline std::string download_and_flash(UsbDeviceHandle *device, const std::vector<uint8_t> &data,
                                      const std::string &partition) {
    char command[32];
    std::snprintf(command, sizeof command, "download:%08x", static_cast<unsigned>(data.size()));
    std::string reply = talk(device, command);
    if (reply.substr(0, 4) != "DATA")
        return "download: " + reply;
    if (bulk_write(device, 0, data.data(), static_cast<int32_t>(data.size()), 0) !=
        static_cast<int32_t>(data.size()))
        return "data phase: " + std::string(std::strerror(errno));
    char status[64];
    int32_t n = bulk_read(device, status, sizeof status);
    if (n != 4 || std::memcmp(status, "OKAY", 4) != 0)
        return "data phase status";
    reply = talk(device, "flash:" + partition);
    return reply == "OKAY" ? "" : "flash: " + reply;
}

} // namespace libusb_test
