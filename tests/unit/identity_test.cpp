// What a device path says a key is, read from the path alone.
#include "olvex/identity.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kGuid = "{925fad44-e331-4116-b409-78fc2b51ea21}";

struct PathRow {
    const char *what;
    std::string path;
    unsigned vendor, product;
    const char *serial;
};

TEST(Identify, ReadsVendorProductAndSerialOrLeavesThemEmpty) {
    const PathRow rows[] = {
        {"the usual form", "\\\\?\\usb#vid_1234&pid_5678#sn0001#" + kGuid, 0x1234, 0x5678, "sn0001"},
        {"any case, case of the serial kept", "\\\\?\\USB#VID_AbCd&PID_00eF#SN-X.9#" + kGuid, 0xABCD, 0x00EF,
         "SN-X.9"},
        {"highest ids", "\\\\?\\usb#vid_ffff&pid_ffff#s#" + kGuid, 0xFFFF, 0xFFFF, "s"},
        {"made-up instance id: ids, no serial", "\\\\?\\usb#vid_1234&pid_5678#5&2a8f1b2&0&2#" + kGuid, 0x1234,
         0x5678, ""},
        {"another bus", "\\\\?\\hid#vid_1234&pid_5678#sn0001#" + kGuid, 0, 0, ""},
        {"an interface of a composite device", "\\\\?\\usb#vid_1234&pid_5678&mi_00#sn0001#" + kGuid, 0, 0, ""},
        {"three hex digits", "\\\\?\\usb#vid_123&pid_5678#sn0001#" + kGuid, 0, 0, ""},
        {"five hex digits", "\\\\?\\usb#vid_12345&pid_5678#sn0001#" + kGuid, 0, 0, ""},
        {"not hex", "\\\\?\\usb#vid_12g4&pid_5678#sn0001#" + kGuid, 0, 0, ""},
        {"signed number", "\\\\?\\usb#vid_+123&pid_5678#sn0001#" + kGuid, 0, 0, ""},
        {"pid before vid", "\\\\?\\usb#pid_5678&vid_1234#sn0001#" + kGuid, 0, 0, ""},
        {"empty serial", "\\\\?\\usb#vid_1234&pid_5678##" + kGuid, 0, 0, ""},
        {"no class", "\\\\?\\usb#vid_1234&pid_5678#sn0001", 0, 0, ""},
        {"a part too many", "\\\\?\\usb#vid_1234&pid_5678#sn#0001#" + kGuid, 0, 0, ""},
        {"class not braced", "\\\\?\\usb#vid_1234&pid_5678#sn0001#925fad44-e331-4116-b409-78fc2b51ea21xx", 0, 0,
         ""},
        {"no \\\\?\\ lead", "usb#vid_1234&pid_5678#sn0001#" + kGuid, 0, 0, ""},
        {"lead alone", "\\\\?\\", 0, 0, ""},
        {"empty", "", 0, 0, ""},
    };
    for (const PathRow &r : rows) {
        const olvex::key_identity id = olvex::identify(r.path);
        EXPECT_EQ(id.vendor_id, r.vendor) << r.what;
        EXPECT_EQ(id.product_id, r.product) << r.what;
        EXPECT_EQ(id.serial, r.serial) << r.what;
    }
}

TEST(Identify, SerialsMatchWithoutCaseAndAnEmptyOneMatchesNothing) {
    EXPECT_TRUE(olvex::same_serial("sn0001", "SN0001"));
    EXPECT_TRUE(olvex::same_serial("Ab-9", "aB-9"));
    EXPECT_FALSE(olvex::same_serial("sn0001", "sn00011"));
    EXPECT_FALSE(olvex::same_serial("sn0001", "sn0002"));
    EXPECT_FALSE(olvex::same_serial("", ""));
    // Only ASCII letters fold: '@' and '`' sit next to 'A' and 'a'.
    EXPECT_FALSE(olvex::same_serial("@", "`"));
}

}  // namespace
