#include "fake_driver.h"

#include <algorithm>
#include <cstring>

FakeInterface fastboot_interface(const char *ansi_name, uint16_t vendor, uint16_t product) {
    FakeInterface fake;
    fake.ansi_name = ansi_name;
    for (const char *p = ansi_name; *p != '\0'; ++p)
        fake.name.push_back(static_cast<char16_t>(*p));
    fake.device.bLength = 18;
    fake.device.bDescriptorType = 1;
    fake.device.idVendor = vendor;
    fake.device.idProduct = product;
    fake.interface.bLength = 9;
    fake.interface.bDescriptorType = 4;
    fake.interface.bNumEndpoints = 2;
    fake.interface.bInterfaceClass = 0xFF;
    fake.interface.bInterfaceSubClass = 0x42;
    fake.interface.bInterfaceProtocol = 0x03;
    fake.serial = "SN" + std::string(ansi_name);
    return fake;
}

FakeDriver &FakeDriver::get() {
    static FakeDriver driver;
    return driver;
}

void FakeDriver::reset() {
    *this = FakeDriver{};
}

ADBAPIHANDLE FakeDriver::make_handle(FakeHandleKind kind, size_t interface_index) {
    handles.push_back(std::make_unique<FakeHandle>(FakeHandle{kind, interface_index}));
    return handles.back().get();
}

FakeHandle *FakeDriver::find(ADBAPIHANDLE handle, FakeHandleKind kind) {
    for (auto &entry : handles)
        if (entry.get() == handle && entry->kind == kind && entry->closes == 0)
            return entry.get();
    return nullptr;
}

std::vector<ADBAPIHANDLE> FakeDriver::open_handles() const {
    std::vector<ADBAPIHANDLE> open;
    for (const auto &entry : handles)
        if (entry->closes == 0)
            open.push_back(entry.get());
    return open;
}

namespace {

FakeDriver &fake() {
    return FakeDriver::get();
}

FakeInterface *interface_of(ADBAPIHANDLE iface) {
    FakeHandle *handle = fake().find(iface, FakeHandleKind::Interface);
    return handle != nullptr ? &fake().interfaces[handle->interface_index] : nullptr;
}

bool fail(uint32_t code) {
    g_OsApi.set_last_error(code);
    return false;
}

ADBAPIHANDLE fake_enum(AdbGuid class_id, bool, bool, bool) {
    if (fake().fail_enumeration || std::memcmp(&class_id, &ANDROID_USB_CLASS_ID, sizeof class_id) != 0) {
        g_OsApi.set_last_error(OS_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return fake().make_handle(FakeHandleKind::Enumeration, 0);
}

bool fake_next(ADBAPIHANDLE enumeration, AdbInterfaceInfo *info, uint32_t *size) {
    FakeHandle *handle = fake().find(enumeration, FakeHandleKind::Enumeration);
    if (handle == nullptr)
        return fail(OS_ERROR_INVALID_HANDLE);
    if (handle->interface_index >= fake().interfaces.size())
        return fail(259); // ERROR_NO_MORE_ITEMS
    const std::u16string &name = fake().interfaces[handle->interface_index++].name;
    size_t bytes = (name.size() + 1) * sizeof(char16_t);
    if (ADB_INTERFACE_NAME_OFFSET + bytes > *size)
        bytes = *size - ADB_INTERFACE_NAME_OFFSET; // an over-long name fills the entry, unterminated
    auto *entry = reinterpret_cast<unsigned char *>(info);
    std::memcpy(entry, &ANDROID_USB_CLASS_ID, sizeof ANDROID_USB_CLASS_ID);
    std::memcpy(entry + ADB_INTERFACE_NAME_OFFSET, name.c_str(), bytes);
    return true;
}

ADBAPIHANDLE fake_create(const char16_t *name) {
    for (size_t i = 0; i < fake().interfaces.size(); ++i) {
        FakeInterface &iface = fake().interfaces[i];
        if (iface.name != name)
            continue;
        if (iface.fail_create)
            break;
        return fake().make_handle(FakeHandleKind::Interface, i);
    }
    g_OsApi.set_last_error(2); // not found
    return nullptr;
}

bool fake_name(ADBAPIHANDLE iface_handle, void *buffer, uint32_t *size, bool ansi) {
    FakeInterface *iface = interface_of(iface_handle);
    if (iface == nullptr || !ansi)
        return fail(OS_ERROR_INVALID_HANDLE);
    uint32_t needed = static_cast<uint32_t>(iface->ansi_name.size() + 1);
    if (buffer == nullptr || *size < needed) {
        *size = iface->report_name_size_zero ? 0 : needed;
        return fail(iface->report_name_size_zero ? iface->fault_error : 122); // insufficient buffer
    }
    if (iface->fail_name)
        return fail(iface->fault_error);
    if (iface->unterminated_name)
        std::memset(buffer, 'N', *size);
    else
        std::memcpy(buffer, iface->ansi_name.c_str(), needed);
    return true;
}

bool fake_serial(ADBAPIHANDLE iface_handle, void *buffer, uint32_t *size, bool ansi) {
    FakeInterface *iface = interface_of(iface_handle);
    if (iface == nullptr || !ansi)
        return fail(OS_ERROR_INVALID_HANDLE);
    if (!iface->serial)
        return fail(iface->fault_error);
    size_t n = std::min<size_t>(iface->serial->size() + 1, *size);
    std::memcpy(buffer, iface->serial->c_str(), n); // a serial longer than the buffer is cut, unterminated
    return true;
}

bool fake_device_descriptor(ADBAPIHANDLE iface_handle, UsbDeviceDescriptor *descriptor) {
    FakeInterface *iface = interface_of(iface_handle);
    if (iface == nullptr)
        return fail(OS_ERROR_INVALID_HANDLE);
    if (iface->fail_device_descriptor)
        return fail(iface->fault_error);
    *descriptor = iface->device;
    return true;
}

bool fake_interface_descriptor(ADBAPIHANDLE iface_handle, UsbInterfaceDescriptor *descriptor) {
    FakeInterface *iface = interface_of(iface_handle);
    if (iface == nullptr)
        return fail(OS_ERROR_INVALID_HANDLE);
    if (iface->fail_interface_descriptor)
        return fail(iface->fault_error);
    *descriptor = iface->interface;
    return true;
}

ADBAPIHANDLE open_endpoint(ADBAPIHANDLE iface_handle, FakeHandleKind kind, bool fails) {
    FakeHandle *owner = fake().find(iface_handle, FakeHandleKind::Interface);
    if (owner == nullptr) {
        g_OsApi.set_last_error(OS_ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (fails) {
        g_OsApi.set_last_error(fake().interfaces[owner->interface_index].fault_error);
        return nullptr;
    }
    return fake().make_handle(kind, owner->interface_index);
}

ADBAPIHANDLE fake_open_read(ADBAPIHANDLE iface, int access_type, int sharing_mode) {
    if (access_type != 0 || sharing_mode != 0)
        return nullptr;
    FakeInterface *info = interface_of(iface);
    return open_endpoint(iface, FakeHandleKind::ReadEndpoint, info != nullptr && info->fail_read_endpoint);
}

ADBAPIHANDLE fake_open_write(ADBAPIHANDLE iface, int access_type, int sharing_mode) {
    if (access_type != 0 || sharing_mode != 0)
        return nullptr;
    FakeInterface *info = interface_of(iface);
    return open_endpoint(iface, FakeHandleKind::WriteEndpoint, info != nullptr && info->fail_write_endpoint);
}

bool fake_read(ADBAPIHANDLE endpoint, void *buffer, uint32_t bytes_to_read, uint32_t *bytes_read,
               uint32_t timeout_ms) {
    fake().reads.push_back({endpoint, bytes_to_read, timeout_ms});
    if (fake().find(endpoint, FakeHandleKind::ReadEndpoint) == nullptr)
        return fail(OS_ERROR_INVALID_HANDLE);
    if (fake().read_script.empty())
        return fail(OS_ERROR_TIMEOUT); // a silent device
    FakeTransfer step = fake().read_script.front();
    fake().read_script.pop_front();
    g_OsApi.set_last_error(step.error);
    if (!step.ok)
        return false;
    size_t n = std::min<size_t>(step.data.size(), bytes_to_read);
    std::memcpy(buffer, step.data.data(), n);
    *bytes_read = step.count.value_or(static_cast<uint32_t>(n));
    return true;
}

bool fake_write(ADBAPIHANDLE endpoint, void *buffer, uint32_t bytes_to_write, uint32_t *bytes_written,
                uint32_t timeout_ms) {
    fake().writes.push_back({endpoint, bytes_to_write, timeout_ms});
    if (fake().find(endpoint, FakeHandleKind::WriteEndpoint) == nullptr)
        return fail(OS_ERROR_INVALID_HANDLE);
    FakeTransfer step;
    if (!fake().write_script.empty()) {
        step = fake().write_script.front();
        fake().write_script.pop_front();
    }
    g_OsApi.set_last_error(step.error);
    if (!step.ok)
        return false;
    uint32_t accepted = step.count.value_or(bytes_to_write);
    fake().written.append(static_cast<const char *>(buffer), std::min(accepted, bytes_to_write));
    *bytes_written = accepted;
    return true;
}

bool fake_close(ADBAPIHANDLE handle) {
    for (auto &entry : fake().handles) {
        if (entry.get() == handle) {
            if (++entry->closes > 1)
                fake().bad_close = true;
            fake().close_order.push_back(entry->kind);
            g_OsApi.set_last_error(fake().close_error);
            return true;
        }
    }
    fake().bad_close = true;
    return fail(OS_ERROR_INVALID_HANDLE);
}

} // namespace

DriverApi FakeDriver::table() {
    return {fake_enum,
            fake_next,
            fake_create,
            fake_name,
            fake_serial,
            fake_device_descriptor,
            fake_interface_descriptor,
            fake_open_read,
            fake_open_write,
            fake_read,
            fake_write,
            fake_close};
}

void *FakeDriver::symbol(const char *name) {
    static const struct {
        const char *name;
        void *address;
    } exports[] = {
        {"AdbEnumInterfaces", reinterpret_cast<void *>(fake_enum)},
        {"AdbNextInterface", reinterpret_cast<void *>(fake_next)},
        {"AdbCreateInterfaceByName", reinterpret_cast<void *>(fake_create)},
        {"AdbGetInterfaceName", reinterpret_cast<void *>(fake_name)},
        {"AdbGetSerialNumber", reinterpret_cast<void *>(fake_serial)},
        {"AdbGetUsbDeviceDescriptor", reinterpret_cast<void *>(fake_device_descriptor)},
        {"AdbGetUsbInterfaceDescriptor", reinterpret_cast<void *>(fake_interface_descriptor)},
        {"AdbOpenDefaultBulkReadEndpoint", reinterpret_cast<void *>(fake_open_read)},
        {"AdbOpenDefaultBulkWriteEndpoint", reinterpret_cast<void *>(fake_open_write)},
        {"AdbReadEndpointSync", reinterpret_cast<void *>(fake_read)},
        {"AdbWriteEndpointSync", reinterpret_cast<void *>(fake_write)},
        {"AdbCloseHandle", reinterpret_cast<void *>(fake_close)},
    };
    for (const auto &entry : exports)
        if (std::strcmp(entry.name, name) == 0)
            return entry.address;
    return nullptr;
}

void FakeDriverTest::SetUp() {
    fake.reset();
    g_DriverApi = FakeDriver::table();
}

void FakeDriverTest::TearDown() {
    EXPECT_FALSE(fake.bad_close) << "a handle was closed twice, or one the driver never gave out";
    EXPECT_TRUE(fake.open_handles().empty()) << fake.open_handles().size() << " driver handles left open";
    g_DriverApi = DriverApi{};
    g_OsApi = os_platform_api();
}

void FakePhoneTest::SetUp() {
    FakeDriverTest::SetUp();
    fake.interfaces = {fastboot_interface("phone")};
    handle = open_device_interface(u"phone");
    ASSERT_NE(handle, nullptr);
}

void FakePhoneTest::TearDown() {
    free_device(handle);
    FakeDriverTest::TearDown();
}
