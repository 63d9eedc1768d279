// The detector's reading of interface paths and location texts.
#include "KivHwDetector.h"

#include <gtest/gtest.h>

namespace {

const wxString kGuid = "#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

struct PathCase {
    const char* name;
    wxString path;
    wxString vendorId, productId, serial, instancePath, enumerator;
};

}  // namespace

TEST(DetectorParse, InterfacePaths) {
    const PathCase cases[] = {
        {"example", "\\\\?\\USB#VID_05C6&PID_9039#0123456789AB" + kGuid, "05C6", "9039", "0123456789AB",
         "USB\\VID_05C6&PID_9039\\0123456789AB", "USB"},
        {"lower-case serial is kept, the instance path is upper case",
         "\\\\?\\USB#VID_18D1&PID_4EE7#emulator-5554" + kGuid, "18D1", "4EE7", "emulator-5554",
         "USB\\VID_18D1&PID_4EE7\\EMULATOR-5554", "USB"},
        {"made-up serial with ampersands", "\\\\?\\USB#VID_05C6&PID_9039#5&2A1B3C4D&0&2" + kGuid, "05C6", "9039",
         "5&2A1B3C4D&0&2", "USB\\VID_05C6&PID_9039\\5&2A1B3C4D&0&2", "USB"},
        {"lower-case vendor id stays as written", "\\\\?\\USB#VID_18d1&PID_4ee7#ABC" + kGuid, "18d1", "4ee7",
         "ABC", "USB\\VID_18D1&PID_4EE7\\ABC", "USB"},
        {"another enumerator", "\\\\?\\HID#VID_046D&PID_C077#7&1A2B&0&0000" + kGuid, "046D", "C077",
         "7&1A2B&0&0000", "HID\\VID_046D&PID_C077\\7&1A2B&0&0000", "HID"},
        {"enumerator in lower case is not USB", "\\\\?\\usb#VID_05C6&PID_9039#S" + kGuid, "05C6", "9039", "S",
         "USB\\VID_05C6&PID_9039\\S", "usb"},
        {"empty", "", "", "", "", "", ""},
        {"prefix only", "\\\\?\\", "", "", "", "", ""},
        {"cut inside the vendor id", "\\\\?\\USB#VID_05", "", "", "", "USB", "USB"},
        {"cut after the vendor id", "\\\\?\\USB#VID_05C6", "", "", "", "USB", "USB"},
        {"no hash at all", "\\\\?\\USB&VID_05C6&PID_9039&SERIAL", "05C6", "", "", "", ""},
        {"cut inside the serial, no class", "\\\\?\\USB#VID_05C6&PID_9039#01", "05C6", "9039", "",
         "USB\\VID_05C6&PID_9039", "USB"},
        {"hash before every position", "#", "", "", "", "", ""},
    };
    for (const PathCase& c : cases) {
        SCOPED_TRACE(c.name);
        const KIV::InterfacePathFields f = KIV::ParseInterfacePath(c.path);
        EXPECT_EQ(f.vendorId, c.vendorId);
        EXPECT_EQ(f.productId, c.productId);
        EXPECT_EQ(f.serial, c.serial);
        EXPECT_EQ(f.instancePath, c.instancePath);
        EXPECT_EQ(f.enumerator, c.enumerator);
    }
}

TEST(DetectorParse, MalformedPathsNeverFail) {
    // Every prefix of a well-formed path, and a few odd ones, parse to something.
    const wxString full = "\\\\?\\USB#VID_05C6&PID_9039#0123456789AB" + kGuid;
    for (size_t n = 0; n <= full.length(); ++n)
        KIV::ParseInterfacePath(full.Left(n));
    KIV::ParseInterfacePath("&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&&");
    KIV::ParseInterfacePath("################################");
    KIV::ParseInterfacePath(wxString(2000, 'x'));
}

TEST(DetectorParse, Locations) {
    struct Case {
        wxString text, port, hub;
    } cases[] = {
        {"Port_#0003.Hub_#0012", "0003", "0012"},
        {"Port_#0014.Hub_#0001", "0014", "0001"},
        {"Unknown", "", ""},
        {"", "", ""},
        {"Port_#0003", "0003", "0003"},
        {"Port_0003.Hub_#0012", "", "003.Hub_#0012"},
        {"#", "", ""},
        {"P#1.H#2", "", ""},
        {"..##", "", "#"},
    };
    for (const Case& c : cases) {
        wxString port = "x", hub = "x";
        KIV::ParseLocation(c.text, &port, &hub);
        EXPECT_EQ(port, c.port) << c.text;
        EXPECT_EQ(hub, c.hub) << c.text;
    }
}
