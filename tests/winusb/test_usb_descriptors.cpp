// The WinUSB library's reading of what a device sends.
#include "drivers/winusb/usb_descriptors.h"

#include <gtest/gtest.h>

#include <vector>

using namespace tarnex::winusb;

namespace {

std::vector<uint8_t> string_descriptor(const std::u16string &text, int length_field = -1) {
    std::vector<uint8_t> d = {static_cast<uint8_t>(length_field >= 0 ? length_field : 2 + 2 * text.size()),
                              3};
    for (char16_t c : text) {
        d.push_back(static_cast<uint8_t>(c));
        d.push_back(static_cast<uint8_t>(c >> 8));
    }
    return d;
}

} // namespace

TEST(StringDescriptor, GivesItsUtf16Text) {
    auto d = string_descriptor(u"SN-\u00e9\u4e2d1");
    std::u16string text;
    ASSERT_TRUE(string_descriptor_text(d.data(), d.size(), &text));
    EXPECT_EQ(text, u"SN-\u00e9\u4e2d1");
}

TEST(StringDescriptor, IsCutAtWhatBothItsLengthAndTheTransferHold) {
    auto d = string_descriptor(u"ABCDEF");
    std::u16string text;
    // A device that claims more than it sent: only what arrived.
    ASSERT_TRUE(string_descriptor_text(d.data(), 7, &text));
    EXPECT_EQ(text, u"AB"); // the odd trailing byte is dropped
    // A length field shorter than the transfer: only what it vouches for.
    d[0] = 6;
    ASSERT_TRUE(string_descriptor_text(d.data(), d.size(), &text));
    EXPECT_EQ(text, u"AB");
    // An embedded NUL ends the text.
    auto n = string_descriptor(std::u16string(u"AB\0CD", 5));
    ASSERT_TRUE(string_descriptor_text(n.data(), n.size(), &text));
    EXPECT_EQ(text, u"AB");
    // Just the header: an empty text.
    ASSERT_TRUE(string_descriptor_text(d.data(), 2, &text));
    EXPECT_EQ(text, u"");
}

TEST(StringDescriptor, RefusesWhatIsNoStringDescriptor) {
    std::u16string text = u"kept";
    auto d = string_descriptor(u"AB");
    EXPECT_FALSE(string_descriptor_text(d.data(), 1, &text));
    EXPECT_FALSE(string_descriptor_text(nullptr, 0, &text));
    d[1] = 1; // a device descriptor's type
    EXPECT_FALSE(string_descriptor_text(d.data(), d.size(), &text));
    d[1] = 3;
    d[0] = 1; // shorter than its own header
    EXPECT_FALSE(string_descriptor_text(d.data(), d.size(), &text));
    EXPECT_EQ(text, u"kept");
}

TEST(StringDescriptor, LanguageListGivesItsFirstLanguage) {
    std::vector<uint8_t> d = {6, 3, 0x07, 0x04, 0x09, 0x04};
    uint16_t language = 0;
    ASSERT_TRUE(first_language(d.data(), d.size(), &language));
    EXPECT_EQ(language, 0x0407);
    std::vector<uint8_t> none = {2, 3};
    EXPECT_FALSE(first_language(none.data(), none.size(), &language));
    EXPECT_FALSE(first_language(d.data(), 3, &language)); // the language did not arrive whole
}

TEST(DeviceDescriptor, NeedsEighteenBytesOfTypeOne) {
    std::vector<uint8_t> d(18, 0);
    d[0] = 18;
    d[1] = 1;
    EXPECT_TRUE(is_device_descriptor(d.data(), d.size()));
    EXPECT_FALSE(is_device_descriptor(d.data(), 17));
    d[1] = 2;
    EXPECT_FALSE(is_device_descriptor(d.data(), d.size()));
    d[1] = 1;
    d[0] = 9;
    EXPECT_FALSE(is_device_descriptor(d.data(), d.size()));
}

TEST(InterfaceEntry, ListedAsTheFlagsAsk) {
    // active, removed, exclude_removed, active_only -> listed
    struct Case {
        uint32_t flags;
        bool exclude_removed, active_only, listed;
    } cases[] = {
        {INTERFACE_ACTIVE, true, true, true},
        {0, true, true, false},
        {0, false, false, true},
        {0, true, false, true},
        {INTERFACE_ACTIVE | INTERFACE_REMOVED, true, true, false},
        {INTERFACE_ACTIVE | INTERFACE_REMOVED, false, true, true},
        {INTERFACE_REMOVED, false, false, true},
    };
    for (const Case &c : cases)
        EXPECT_EQ(interface_listed(c.flags, c.exclude_removed, c.active_only), c.listed)
            << c.flags << " " << c.exclude_removed << c.active_only;
}
