#include "DeviceSetup.h"

#include <gtest/gtest.h>

TEST(DeviceNames, InterfacePathKeepsTheSerialAndWritesIdsInUpperCaseHex) {
    EXPECT_EQ(plat::UsbInterfacePath(0x05C6, 0x9039, L"0123456789AB"),
              L"\\\\?\\USB#VID_05C6&PID_9039#0123456789AB#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(plat::UsbInterfacePath(0x18D1, 0x4EE7, L"emulator-5554"),
              L"\\\\?\\USB#VID_18D1&PID_4EE7#emulator-5554#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
    EXPECT_EQ(plat::UsbInterfacePath(0x000A, 0x00b1, L"x"),
              L"\\\\?\\USB#VID_000A&PID_00B1#x#{A5DCBF10-6530-11D2-901F-00C04FB951ED}");
}

TEST(DeviceNames, InstanceIdIsUpperCase) {
    EXPECT_EQ(plat::UsbInstanceId(0x18D1, 0x4EE7, L"abc123"), L"USB\\VID_18D1&PID_4EE7\\ABC123");
    EXPECT_EQ(plat::UsbInstanceId(0x05C6, 0x9039, L"5&2A1B3C4D&0&2"),
              L"USB\\VID_05C6&PID_9039\\5&2A1B3C4D&0&2");
}

TEST(DeviceNames, LocationHasFourDigitPortAndHub) {
    EXPECT_EQ(plat::UsbLocationInformation(3, 12), L"Port_#0003.Hub_#0012");
    EXPECT_EQ(plat::UsbLocationInformation(14, 1), L"Port_#0014.Hub_#0001");
}

TEST(DeviceNames, UsableSerials) {
    struct Case {
        std::string serial;
        bool usable;
    } cases[] = {
        {"0123456789AB", true},
        {"emulator-5554", true},
        {"a b", true},
        {"", false},
        {std::string(255, 'A'), true},
        {std::string(256, 'A'), false},
        {"ab#c", false},
        {"ab\\c", false},
        {"ab,c", false},
        {"ab\x1f", false},
        {"ab\x7f", false},
        {"caf\xc3\xa9", false},
    };
    for (const auto& c : cases) EXPECT_EQ(plat::IsUsableUsbSerial(c.serial), c.usable) << c.serial;
}

TEST(DeviceNames, MadeUpSerialsContainAnAmpersandAndNameThePort) {
    const std::wstring a = plat::MadeUpUsbSerial("/devices/pci0000:00/0000:00:14.0/usb1/1-1", 4);
    EXPECT_NE(a.find(L'&'), std::wstring::npos);
    EXPECT_EQ(a.substr(0, 2), L"5&");
    EXPECT_EQ(a, plat::MadeUpUsbSerial("/devices/pci0000:00/0000:00:14.0/usb1/1-1", 4));
    EXPECT_NE(a, plat::MadeUpUsbSerial("/devices/pci0000:00/0000:00:14.0/usb1/1-1", 3));
    EXPECT_NE(a, plat::MadeUpUsbSerial("/devices/pci0000:00/0000:00:14.0/usb2/2-1", 4));
    EXPECT_EQ(a.substr(a.size() - 4), L"&0&4");
}

TEST(DeviceNames, PortPathsOfDevicesAndWhatIsNotOne) {
    plat::UsbPortPath p;
    ASSERT_TRUE(plat::ParseUsbPortPath("/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4", &p));
    EXPECT_EQ(p.bus, 1u);
    EXPECT_EQ(p.ports, (std::vector<unsigned>{1, 4}));
    EXPECT_EQ(p.hubPath, "/devices/pci0000:00/0000:00:14.0/usb1/1-1");

    ASSERT_TRUE(plat::ParseUsbPortPath("/devices/pci0000:00/0000:00:14.0/usb3/3-12", &p));
    EXPECT_EQ(p.bus, 3u);
    EXPECT_EQ(p.ports, (std::vector<unsigned>{12}));
    EXPECT_EQ(p.hubPath, "/devices/pci0000:00/0000:00:14.0/usb3");

    const char* notDevices[] = {
        "/devices/pci0000:00/0000:00:14.0/usb1",              // root hub
        "/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0",  // interface
        "/devices/x/1-", "/devices/x/-1", "/devices/x/1-1.", "/devices/x/1-a", "", "/",
        "/devices/x/1-1..2", "/devices/x/99999-1",
    };
    for (const char* path : notDevices) EXPECT_FALSE(plat::ParseUsbPortPath(path, &p)) << path;
}

TEST(DeviceNames, HexIds) {
    uint16_t id = 0;
    EXPECT_TRUE(plat::ParseUsbHexId("18d1", &id));
    EXPECT_EQ(id, 0x18D1);
    EXPECT_TRUE(plat::ParseUsbHexId("4EE7", &id));
    EXPECT_EQ(id, 0x4EE7);
    EXPECT_TRUE(plat::ParseUsbHexId("a", &id));
    EXPECT_EQ(id, 0xA);
    for (const char* bad : {"", "12345", "18g1", "0x18", " 18d"})
        EXPECT_FALSE(plat::ParseUsbHexId(bad, &id)) << bad;
}
