// Device discovery and handles against the scripted driver: opening and its half-done failures,
// probing, matching, and scans that must leave no handle behind.
#include "usb/usb_device.h"

#include "fake_driver.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using UsbDevice = FakeDriverTest;

int g_MatchCalls = 0;
UsbInterfaceInfo g_LastInfo;

int32_t counting_fastboot_match(const UsbInterfaceInfo *info) {
    ++g_MatchCalls;
    g_LastInfo = *info;
    return is_fastboot_interface(info);
}

UsbInterfaceInfo info_with(uint8_t interface_class, uint8_t subclass, uint8_t protocol) {
    UsbInterfaceInfo info = {};
    info.interface_class = interface_class;
    info.interface_subclass = subclass;
    info.interface_protocol = protocol;
    return info;
}

} // namespace

// --- Opening and releasing

TEST_F(UsbDevice, OpenGetsInterfaceEndpointsAndNameAndReleaseUndoesAllInOrder) {
    fake.interfaces = {fastboot_interface("usb#vid_18d1&pid_d00d#A1")};
    UsbDeviceHandle *handle = open_device_interface(u"usb#vid_18d1&pid_d00d#A1");
    ASSERT_NE(handle, nullptr);
    EXPECT_NE(handle->interface_handle, nullptr);
    EXPECT_NE(handle->read_endpoint, nullptr);
    EXPECT_NE(handle->write_endpoint, nullptr);
    EXPECT_STREQ(handle->interface_name, "usb#vid_18d1&pid_d00d#A1");

    release_device(handle);
    EXPECT_EQ(handle->interface_handle, nullptr);
    EXPECT_EQ(handle->read_endpoint, nullptr);
    EXPECT_EQ(handle->write_endpoint, nullptr);
    EXPECT_EQ(handle->interface_name, nullptr);
    // The endpoints belong to the interface and go first.
    EXPECT_EQ(fake.close_order,
              (std::vector<FakeHandleKind>{FakeHandleKind::WriteEndpoint, FakeHandleKind::ReadEndpoint,
                                           FakeHandleKind::Interface}));
    release_device(handle); // a second release finds nothing to close
    EXPECT_EQ(fake.close_order.size(), 3u);
    EXPECT_EQ(free_device(handle), 0);

    release_device(nullptr);
    EXPECT_EQ(free_device(nullptr), 0);
}

TEST_F(UsbDevice, AnInterfaceOpensAgainWhileAHandleOnItIsOpen) {
    fake.interfaces = {fastboot_interface("held")};
    UsbDeviceHandle *held = open_device_interface(u"held");
    UsbDeviceHandle *check = open_device_interface(u"held");
    ASSERT_NE(held, nullptr);
    ASSERT_NE(check, nullptr);
    EXPECT_NE(held->write_endpoint, check->write_endpoint);
    free_device(check);
    EXPECT_EQ(fake.open_handles().size(), 3u);
    free_device(held);
}

TEST_F(UsbDevice, AFailedOpenReleasesWhatItGotAndKeepsTheFailedStepsError) {
    struct Case {
        const char *step;
        void (*inject)(FakeInterface &);
        size_t handles_obtained;
    } cases[] = {
        {"create", [](FakeInterface &f) { f.fail_create = true; }, 0},
        {"read endpoint", [](FakeInterface &f) { f.fail_read_endpoint = true; }, 1},
        {"write endpoint", [](FakeInterface &f) { f.fail_write_endpoint = true; }, 2},
        {"name size 0", [](FakeInterface &f) { f.report_name_size_zero = true; }, 3},
        {"name", [](FakeInterface &f) { f.fail_name = true; }, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.step);
        fake.reset();
        FakeInterface iface = fastboot_interface("phone");
        iface.fault_error = 31;
        c.inject(iface);
        fake.interfaces = {iface};
        errno = 0;
        EXPECT_EQ(open_device_interface(u"phone"), nullptr);
        // The clean-up's own closes leave fake.close_error behind; the caller must see the step's.
        uint32_t expected = c.handles_obtained == 0 ? 2u : 31u;
        EXPECT_EQ(static_cast<uint32_t>(errno), expected);
        EXPECT_EQ(g_OsApi.get_last_error(), expected);
        EXPECT_EQ(fake.handles.size(), c.handles_obtained);
        EXPECT_TRUE(fake.open_handles().empty());
        EXPECT_FALSE(fake.bad_close);
    }
}

TEST_F(UsbDevice, AnUnterminatedNameFromTheDriverIsCutToItsSize) {
    FakeInterface iface = fastboot_interface("phone");
    iface.unterminated_name = true;
    fake.interfaces = {iface};
    UsbDeviceHandle *handle = open_device_interface(u"phone");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(std::string(handle->interface_name), std::string(5, 'N'));
    free_device(handle);
}

// --- Probing and matching

TEST(UsbMatch, FastbootIsClassFfSubclass42Protocol03AndNothingElse) {
    UsbInterfaceInfo info = info_with(0xFF, 0x42, 0x03);
    EXPECT_EQ(is_fastboot_interface(&info), 0);
    // Vendor, product, device class and serial number take no part.
    info.vendor_id = 0x1234, info.product_id = 0x5678, info.device_class = 0xEF;
    std::strcpy(info.serial_number, "anything");
    EXPECT_EQ(is_fastboot_interface(&info), 0);

    for (UsbInterfaceInfo other : {info_with(0xFF, 0x42, 0x01), info_with(0xFF, 0x43, 0x03),
                                   info_with(0xFE, 0x42, 0x03), info_with(0, 0, 0)})
        EXPECT_EQ(is_fastboot_interface(&other), -1);
}

TEST_F(UsbDevice, ProbeHandsTheMatchTheDescriptorsAndSerial) {
    FakeInterface iface = fastboot_interface("phone", 0x05C6, 0x9025);
    iface.device.bDeviceClass = 0xEF, iface.device.bDeviceSubClass = 2, iface.device.bDeviceProtocol = 1;
    iface.serial = "0123456789ABCDEF";
    fake.interfaces = {iface};
    UsbDeviceHandle *handle = open_device_interface(u"phone");
    ASSERT_NE(handle, nullptr);
    g_MatchCalls = 0;
    EXPECT_EQ(probe_interface(handle, counting_fastboot_match), 1);
    EXPECT_EQ(g_MatchCalls, 1);
    EXPECT_EQ(g_LastInfo.vendor_id, 0x05C6);
    EXPECT_EQ(g_LastInfo.product_id, 0x9025);
    EXPECT_EQ(g_LastInfo.device_class, 0xEF);
    EXPECT_EQ(g_LastInfo.device_subclass, 2);
    EXPECT_EQ(g_LastInfo.device_protocol, 1);
    EXPECT_EQ(g_LastInfo.interface_class, 0xFF);
    EXPECT_EQ(g_LastInfo.interface_subclass, 0x42);
    EXPECT_EQ(g_LastInfo.interface_protocol, 0x03);
    EXPECT_STREQ(g_LastInfo.serial_number, "0123456789ABCDEF");
    free_device(handle);
}

TEST_F(UsbDevice, ASerialThatCannotBeReadOrIsTooLongStillMatches) {
    FakeInterface no_serial = fastboot_interface("a");
    no_serial.serial.reset();
    FakeInterface long_serial = fastboot_interface("b");
    long_serial.serial = std::string(300, '7');
    fake.interfaces = {no_serial, long_serial};

    UsbDeviceHandle *a = open_device_interface(u"a");
    UsbDeviceHandle *b = open_device_interface(u"b");
    EXPECT_EQ(probe_interface(a, counting_fastboot_match), 1);
    EXPECT_STREQ(g_LastInfo.serial_number, "");
    EXPECT_EQ(probe_interface(b, counting_fastboot_match), 1);
    EXPECT_EQ(std::string(g_LastInfo.serial_number), std::string(255, '7'));
    free_device(a);
    free_device(b);
}

TEST_F(UsbDevice, WrongEndpointCountOrUnreadableDescriptorsRefuseWithoutAskingTheMatch) {
    auto with = [](const char *name, void (*change)(FakeInterface &)) {
        FakeInterface iface = fastboot_interface(name);
        change(iface);
        return iface;
    };
    fake.interfaces = {
        with("one endpoint", [](FakeInterface &f) { f.interface.bNumEndpoints = 1; }),
        with("three endpoints", [](FakeInterface &f) { f.interface.bNumEndpoints = 3; }),
        with("no device descriptor", [](FakeInterface &f) { f.fail_device_descriptor = true; }),
        with("no interface descriptor", [](FakeInterface &f) { f.fail_interface_descriptor = true; }),
    };
    g_MatchCalls = 0;
    for (const FakeInterface &iface : fake.interfaces) {
        SCOPED_TRACE(iface.ansi_name);
        UsbDeviceHandle *handle = open_device_interface(iface.name.c_str());
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(probe_interface(handle, counting_fastboot_match), 0);
        free_device(handle);
    }
    EXPECT_EQ(g_MatchCalls, 0);

    // Nor is there anything to probe behind a null or released handle.
    EXPECT_EQ(probe_interface(nullptr, counting_fastboot_match), 0);
    UsbDeviceHandle released = {};
    EXPECT_EQ(probe_interface(&released, counting_fastboot_match), 0);
}

// --- Scanning

TEST_F(UsbDevice, ScanWithNothingAttachedClosesTheEnumeration) {
    EXPECT_EQ(scan_for_device(is_fastboot_interface), nullptr);
    ASSERT_EQ(fake.handles.size(), 1u);
    EXPECT_EQ(fake.handles[0]->kind, FakeHandleKind::Enumeration);
    EXPECT_EQ(fake.handles[0]->closes, 1);

    fake.fail_enumeration = true;
    EXPECT_EQ(scan_for_device(is_fastboot_interface), nullptr);
}

TEST_F(UsbDevice, ScanReturnsTheFirstMatchAndFreesEveryOtherHandle) {
    FakeInterface adb = fastboot_interface("adb");
    adb.interface.bInterfaceProtocol = 0x01;
    FakeInterface broken = fastboot_interface("broken");
    broken.fail_write_endpoint = true;
    FakeInterface odd = fastboot_interface("odd");
    odd.interface.bNumEndpoints = 3;
    fake.interfaces = {adb, broken, fastboot_interface("first"), odd, fastboot_interface("second")};

    UsbDeviceHandle *found = scan_for_device(is_fastboot_interface);
    ASSERT_NE(found, nullptr);
    EXPECT_STREQ(found->interface_name, "first");
    // The walk went on past the match; of everything it opened, only the returned handle is open.
    EXPECT_EQ(fake.handles.back()->interface_index, 4u);
    std::vector<ADBAPIHANDLE> expected = {found->interface_handle, found->read_endpoint,
                                          found->write_endpoint};
    EXPECT_EQ(fake.open_handles(), expected);
    free_device(found);
}

TEST_F(UsbDevice, ScanCopesWithANameThatFillsTheWholeEntry) {
    // 1014 UTF-16 units fill the entry from byte 20 to its end with no room for the terminator.
    std::string long_name(1014, 'x');
    fake.interfaces = {fastboot_interface(long_name.c_str())};
    UsbDeviceHandle *found = scan_for_device(is_fastboot_interface);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(std::string(found->interface_name), long_name);
    free_device(found);
}

TEST_F(UsbDevice, AnUnboundDriverTableFailsLikeAnAbsentDevice) {
    fake.interfaces = {fastboot_interface("phone")};
    g_DriverApi = DriverApi{};
    EXPECT_EQ(open_device_interface(u"phone"), nullptr);
    EXPECT_EQ(scan_for_device(is_fastboot_interface), nullptr);
    EXPECT_EQ(g_OsApi.get_last_error(), OS_ERROR_INVALID_HANDLE);
    EXPECT_TRUE(fake.handles.empty());
}
