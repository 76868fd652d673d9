// Interface names and the text conversions of the libusb driver library: pure functions, no USB.
#include "drivers/libusb/interface_name.h"

#include <gtest/gtest.h>

using namespace tarnex::libusb_driver;

TEST(InterfaceName, FormatsBusPortPathAndInterface) {
    EXPECT_EQ(format_interface_name({1, {4, 2}, 1}), "usb:1-4.2:1");
    EXPECT_EQ(format_interface_name({3, {1}, 0}), "usb:3-1:0");
    EXPECT_EQ(format_interface_name({255, {255, 1, 2, 3, 4, 5, 6}, 255}), "usb:255-255.1.2.3.4.5.6:255");
    EXPECT_EQ(format_port_path(2, {7, 3}), "2-7.3");
    // A root hub has no port, a tree deeper than USB allows does not exist, and port 0 is not a port.
    EXPECT_EQ(format_interface_name({1, {}, 0}), "");
    EXPECT_EQ(format_interface_name({1, {1, 2, 3, 4, 5, 6, 7, 8}, 0}), "");
    EXPECT_EQ(format_interface_name({1, {4, 0}, 0}), "");
}

TEST(InterfaceName, ParsesExactlyWhatItFormats) {
    for (const InterfaceLocation &l : {InterfaceLocation{1, {4, 2}, 1}, InterfaceLocation{9, {1}, 0},
                                       InterfaceLocation{255, {255, 1, 2, 3, 4, 5, 6}, 255}}) {
        auto parsed = parse_interface_name(format_interface_name(l));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, l);
    }
    for (const char *bad : {"",
                            "usb:",
                            "usb:1",
                            "usb:1-",
                            "usb:1-4",
                            "usb:1-4:",
                            "usb:1-4.:1",
                            "usb:1-.4:1",
                            "usb:01-4:1",
                            "usb:1-04:1",
                            "usb:1-4:01",
                            "usb:1-0:1",
                            "usb:256-4:1",
                            "usb:1-4:256",
                            "usb:1-4:1 ",
                            " usb:1-4:1",
                            "USB:1-4:1",
                            "usb:1-1.2.3.4.5.6.7.8:0",
                            "usb:1-4:1:2",
                            "usb:1-4:-1",
                            "usb:1000-4:1",
                            "\\\\?\\usb#vid_18d1"}) {
        EXPECT_FALSE(parse_interface_name(bad).has_value()) << bad;
    }
}

TEST(TextConversion, Utf16AndUtf8RoundTrip) {
    std::u16string wide = u"SIM-Gr\u00FC\u00DFe-\u7535\u8BDD-\U0001F4F1";
    std::string narrow = "SIM-Gr\xC3\xBC\xC3\x9F"
                         "e-\xE7\x94\xB5\xE8\xAF\x9D-\xF0\x9F\x93\xB1";
    EXPECT_EQ(utf16_to_utf8(wide), narrow);
    EXPECT_EQ(utf8_to_utf16(narrow), wide);
    EXPECT_EQ(utf16_to_utf8(u""), "");
}

TEST(TextConversion, IllFormedInputBecomesReplacementCharacters) {
    // Unpaired surrogates from a device's string descriptor.
    EXPECT_EQ(utf16_to_utf8(std::u16string{u'a', char16_t(0xD800), u'b'}), "a\xEF\xBF\xBD"
                                                                           "b");
    EXPECT_EQ(utf16_to_utf8(std::u16string{char16_t(0xDC00)}), "\xEF\xBF\xBD");
    EXPECT_EQ(utf16_to_utf8(std::u16string{char16_t(0xD83D)}), "\xEF\xBF\xBD"); // cut at the end
    // Stray continuation bytes, overlong forms, surrogates encoded in UTF-8, and a cut sequence.
    EXPECT_EQ(utf8_to_utf16("a\x80"
                            "b"),
              u"a\uFFFDb");
    EXPECT_EQ(utf8_to_utf16("\xC0\xAF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_utf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_utf16("\xE7\x94"), u"\uFFFD\uFFFD");
    EXPECT_EQ(utf8_to_utf16("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD"); // past U+10FFFF
}
