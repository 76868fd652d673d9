// The simulated phone library's twelve driver operations (usb/driver_abi.h).
#include "drivers/sim/sim_library.h"
#include "usb/interface_entry.h"

#include <cstring>

using namespace tarnex::sim;

// --- the twelve driver operations -----------------------------------------------------------------------

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbEnumInterfaces(AdbGuid class_id, bool exclude_not_present,
                                                      bool exclude_removed, bool active_only) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            Session s;
            HandleRecord r;
            r.kind = Kind::ENUMERATION;
            // Only attached phones are listed, whatever the flags: a detached one has no interface.
            if (same_guid(class_id, ANDROID_USB_CLASS_ID)) {
                for (const auto &p : s.sim().phones) {
                    if (p->plugged())
                        r.entries.push_back(p->config().interface_name);
                }
            }
            return add_handle(s.sim(), std::move(r), "-");
        },
        nullptr);
}

SIM_EXPORT bool ADBAPI_CALL AdbNextInterface(ADBAPIHANDLE enumeration, AdbInterfaceInfo *info,
                                             uint32_t *size) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), enumeration, "AdbNextInterface", Kind::ENUMERATION);
            if (r == nullptr)
                return false;
            if (size == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            if (r->cursor >= r->entries.size()) {
                set_failure(Failure::NO_MORE_ITEMS);
                return false;
            }
            const std::string &name = r->entries[r->cursor];
            uint64_t needed = adb_interface_entry_size(name.size());
            if (info == nullptr || *size < needed) {
                *size = static_cast<uint32_t>(needed);
                set_failure(Failure::INSUFFICIENT_BUFFER);
                return false;
            }
            adb_write_interface_entry(reinterpret_cast<uint8_t *>(info), ANDROID_USB_CLASS_ID, 1 /* active */,
                                      name.data(), name.size());
            *size = static_cast<uint32_t>(needed);
            ++r->cursor;
            return true;
        },
        false);
}

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbCreateInterfaceByName(const char16_t *name) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            Session s;
            Simulation &sim = s.sim();
            if (name == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return nullptr;
            }
            // Names are ASCII; anything else names no phone of ours. The length bound keeps a name
            // without terminator from running through memory for ever.
            std::string narrow;
            bool ascii = true;
            for (size_t i = 0; name[i] != 0; ++i) {
                if (i >= 32768) {
                    set_failure(Failure::INVALID_PARAMETER);
                    return nullptr;
                }
                ascii = ascii && name[i] < 0x80;
                narrow += static_cast<char>(name[i] & 0x7F);
            }
            for (size_t i = 0; ascii && i < sim.phones.size(); ++i) {
                Phone &p = *sim.phones[i];
                if (p.config().interface_name != narrow)
                    continue;
                IoStatus st = p.plugged() ? p.on_open() : IoStatus::GONE;
                if (st != IoStatus::OK) {
                    sim.transcript.add("open-failed " + p.label() +
                                       (st == IoStatus::GONE ? " gone" : " refused"));
                    set_failure(st == IoStatus::GONE ? Failure::DEVICE_GONE : Failure::IO_ERROR);
                    return nullptr;
                }
                HandleRecord r;
                r.kind = Kind::INTERFACE;
                r.phone = i;
                r.generation = p.generation();
                return add_handle(sim, std::move(r), p.label());
            }
            sim.transcript.add("open-failed - " + quote(narrow));
            set_failure(Failure::NOT_FOUND);
            return nullptr;
        },
        nullptr);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetInterfaceName(ADBAPIHANDLE iface, void *buffer, uint32_t *size, bool ansi) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetInterfaceName", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            return p != nullptr && copy_name_out(p->config().interface_name, buffer, size, ansi);
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetSerialNumber(ADBAPIHANDLE iface, void *buffer, uint32_t *size, bool ansi) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetSerialNumber", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (!p->config().has_serial) {
                set_failure(Failure::NOT_SUPPORTED);
                return false;
            }
            return copy_name_out(p->config().serial, buffer, size, ansi);
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetUsbDeviceDescriptor(ADBAPIHANDLE iface, UsbDeviceDescriptor *descriptor) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetUsbDeviceDescriptor", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (descriptor == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            const DeviceConfig &c = p->config();
            uint8_t d[18] = {18, 1};
            put_le16(d + 2, 0x0200); // USB 2.0
            d[4] = c.device_class[0];
            d[5] = c.device_class[1];
            d[6] = c.device_class[2];
            d[7] = 64;
            put_le16(d + 8, c.vendor_id);
            put_le16(d + 10, c.product_id);
            put_le16(d + 12, 0x0100);
            d[14] = 1;
            d[15] = 2;
            d[16] = c.has_serial ? 3 : 0;
            d[17] = 1;
            std::memcpy(descriptor, d, sizeof d);
            return true;
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbGetUsbInterfaceDescriptor(ADBAPIHANDLE iface,
                                                         UsbInterfaceDescriptor *descriptor) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, "AdbGetUsbInterfaceDescriptor", Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (descriptor == nullptr) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            const DeviceConfig &c = p->config();
            uint8_t d[9] = {
                9, 4, 0, 0, c.endpoints, c.interface_class[0], c.interface_class[1], c.interface_class[2], 0};
            std::memcpy(descriptor, d, sizeof d);
            return true;
        },
        false);
}

namespace {

ADBAPIHANDLE open_endpoint(ADBAPIHANDLE iface, Kind kind, const char *op) {
    return guarded(
        [&]() -> ADBAPIHANDLE {
            Session s;
            HandleRecord *r = find_handle(s.sim(), iface, op, Kind::INTERFACE);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return nullptr;
            HandleRecord e;
            e.kind = kind;
            e.phone = r->phone;
            e.generation = r->generation;
            return add_handle(s.sim(), std::move(e), p->label());
        },
        nullptr);
}

} // namespace

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkReadEndpoint(ADBAPIHANDLE iface, int access_type,
                                                                   int sharing_mode) {
    return open_endpoint(iface, Kind::READ_ENDPOINT, "AdbOpenDefaultBulkReadEndpoint");
}

SIM_EXPORT ADBAPIHANDLE ADBAPI_CALL AdbOpenDefaultBulkWriteEndpoint(ADBAPIHANDLE iface, int access_type,
                                                                    int sharing_mode) {
    return open_endpoint(iface, Kind::WRITE_ENDPOINT, "AdbOpenDefaultBulkWriteEndpoint");
}

SIM_EXPORT bool ADBAPI_CALL AdbReadEndpointSync(ADBAPIHANDLE endpoint, void *buffer, uint32_t bytes_to_read,
                                                uint32_t *bytes_read, uint32_t timeout_ms) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), endpoint, "AdbReadEndpointSync", Kind::READ_ENDPOINT);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (bytes_read == nullptr || (buffer == nullptr && bytes_to_read > 0)) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            uint32_t received = 0;
            IoStatus st = p->host_read(static_cast<uint8_t *>(buffer), bytes_to_read, received);
            *bytes_read = received;
            if (st != IoStatus::OK) {
                set_failure(failure_of(st));
                return false;
            }
            auto until = p->book_transfer(received);
            s.unlock();
            pace(until);
            return true;
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbWriteEndpointSync(ADBAPIHANDLE endpoint, void *buffer, uint32_t bytes_to_write,
                                                 uint32_t *bytes_written, uint32_t timeout_ms) {
    return guarded(
        [&]() -> bool {
            Session s;
            HandleRecord *r = find_handle(s.sim(), endpoint, "AdbWriteEndpointSync", Kind::WRITE_ENDPOINT);
            Phone *p = r ? live_phone(s.sim(), *r) : nullptr;
            if (p == nullptr)
                return false;
            if (bytes_written == nullptr || (buffer == nullptr && bytes_to_write > 0)) {
                set_failure(Failure::INVALID_PARAMETER);
                return false;
            }
            uint32_t accepted = 0;
            IoStatus st = p->host_write(static_cast<const uint8_t *>(buffer), bytes_to_write, accepted);
            *bytes_written = accepted;
            if (st != IoStatus::OK) {
                set_failure(failure_of(st));
                return false;
            }
            auto until = p->book_transfer(accepted);
            s.unlock();
            pace(until);
            return true;
        },
        false);
}

SIM_EXPORT bool ADBAPI_CALL AdbCloseHandle(ADBAPIHANDLE handle) {
    return guarded(
        [&]() -> bool {
            Session s;
            Simulation &sim = s.sim();
            auto it = handle != nullptr ? sim.handles.find(handle_id(handle)) : sim.handles.end();
            if (it == sim.handles.end()) {
                ++sim.stats.bad_closes;
                sim.transcript.add("bad-close - handle=" + handle_text(handle));
                set_failure(Failure::INVALID_HANDLE);
                return false;
            }
            std::string who =
                it->second.kind == Kind::ENUMERATION ? "-" : sim.phones[it->second.phone]->label();
            sim.transcript.add("close " + who + " h=" + std::to_string(it->first) + " " +
                               kind_name(it->second.kind));
            sim.handles.erase(it);
            ++sim.stats.closed;
            return true;
        },
        false);
}
