// The enumeration entry every driver library of ours lays out.
#include "usb/interface_entry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

TEST(InterfaceEntry, HasTheGuidTheFlagsAndTheNameFromByteTwenty) {
    const std::u16string name = u"\\\\?\\usb#vid_1209&pid_7458#sn#{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}";
    ASSERT_EQ(adb_interface_entry_size(name.size()), 20 + 2 * (name.size() + 1));
    std::vector<uint8_t> entry(adb_interface_entry_size(name.size()), 0xAA);
    adb_write_interface_entry(entry.data(), ANDROID_USB_CLASS_ID, 1 /* active */, name.data(), name.size());
    const uint8_t guid[16] = {0xD4, 0xE0, 0x2F, 0xF7, 0xCB, 0xCB, 0x7D, 0x40,
                              0x88, 0x14, 0x9E, 0xD6, 0x73, 0xD0, 0xDD, 0x6B};
    EXPECT_TRUE(std::equal(guid, guid + 16, entry.begin()));
    EXPECT_EQ(entry[16], 1);
    EXPECT_EQ(entry[17] | entry[18] | entry[19], 0);
    for (size_t i = 0; i < name.size(); ++i)
        ASSERT_EQ(entry[20 + 2 * i] | entry[21 + 2 * i] << 8, name[i]) << i;
    EXPECT_EQ(entry[entry.size() - 2] | entry[entry.size() - 1], 0);
}
