// The udev rule that gives the user at the seat access to fastboot phones, checked without udev (none
// runs here): its file name sorts before the rule that turns "uaccess" into access, and its match takes
// exactly the devices with a fastboot interface, judged with udev's own glob rules (fnmatch).
#include <gtest/gtest.h>

#include <fnmatch.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Rule {
    std::vector<std::pair<std::string, std::string>> matches; // KEY== or ENV{KEY}==, pattern
    std::vector<std::string> assignments;
};

// The one rule of the file; comments and blank lines are left out.
std::vector<Rule> read_rules(const std::string &path) {
    std::ifstream in(path);
    std::vector<Rule> rules;
    std::string line;
    const std::regex match(R"(^\s*([A-Z]+(\{[A-Za-z_]+\})?)==\"([^\"]*)\"\s*$)");
    const std::regex assign(R"(^\s*([A-Z]+(\{[A-Za-z_]+\})?)\+?=\"([^\"]*)\"\s*$)");
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        Rule rule;
        size_t start = 0;
        while (start < line.size()) {
            size_t comma = line.find(',', start);
            std::string part =
                line.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            std::smatch m;
            if (std::regex_match(part, m, match))
                rule.matches.push_back({m[1], m[3]});
            else if (std::regex_match(part, m, assign))
                rule.assignments.push_back(part);
            else
                ADD_FAILURE() << "not a udev rule clause: '" << part << "'";
            start = comma == std::string::npos ? line.size() : comma + 1;
        }
        rules.push_back(rule);
    }
    return rules;
}

// Whether the rule takes a device with these properties. udev patterns are fnmatch globs, "|" separates
// alternatives.
bool matches(const Rule &rule, const std::map<std::string, std::string> &device) {
    for (const auto &[key, pattern] : rule.matches) {
        auto it = device.find(key);
        std::string value = it == device.end() ? "" : it->second;
        bool any = false;
        size_t start = 0;
        while (!any && start <= pattern.size()) {
            size_t bar = pattern.find('|', start);
            std::string alt =
                pattern.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
            any = fnmatch(alt.c_str(), value.c_str(), 0) == 0;
            start = bar == std::string::npos ? pattern.size() + 1 : bar + 1;
        }
        if (!any)
            return false;
    }
    return true;
}

std::map<std::string, std::string> usb_device(const std::string &interfaces) {
    return {{"ACTION", "add"},
            {"SUBSYSTEM", "usb"},
            {"ENV{DEVTYPE}", "usb_device"},
            {"ENV{ID_USB_INTERFACES}", interfaces}};
}

} // namespace

TEST(UdevRule, SortsBeforeTheSeatRuleThatGrantsAccess) {
    std::string name = TARNEX_UDEV_RULE;
    name = name.substr(name.find_last_of('/') + 1);
    EXPECT_LT(name, std::string("73-seat-late.rules"));
    EXPECT_EQ(name.substr(name.size() - 6), ".rules");
}

TEST(UdevRule, TagsExactlyTheDevicesWithAFastbootInterface) {
    std::vector<Rule> rules = read_rules(TARNEX_UDEV_RULE);
    ASSERT_EQ(rules.size(), 1u);
    const Rule &rule = rules[0];
    ASSERT_EQ(rule.assignments, std::vector<std::string>{" TAG+=\"uaccess\""});

    EXPECT_TRUE(matches(rule, usb_device(":ff4203:")));
    EXPECT_TRUE(matches(rule, usb_device(":ff4201:ff4203:"))); // debug and fastboot, in either order
    EXPECT_TRUE(matches(rule, usb_device(":ff4203:ff4201:")));
    EXPECT_FALSE(matches(rule, usb_device(":ff4201:")));        // a phone's debug interface alone
    EXPECT_FALSE(matches(rule, usb_device(":080650:")));        // a memory stick
    EXPECT_FALSE(matches(rule, usb_device(":030101:030000:"))); // a keyboard
    EXPECT_FALSE(matches(rule, usb_device(":ff42031:")));       // no partial codes
    EXPECT_FALSE(matches(rule, usb_device("")));

    auto interface_node = usb_device(":ff4203:");
    interface_node["ENV{DEVTYPE}"] = "usb_interface"; // the node to open belongs to the device
    EXPECT_FALSE(matches(rule, interface_node));
    auto removal = usb_device(":ff4203:");
    removal["ACTION"] = "remove";
    EXPECT_FALSE(matches(rule, removal));
}
