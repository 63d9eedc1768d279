// The udev device layer against USB devices mocked by umockdev.
#include "DeviceSetup.h"
#include "Errors.h"
#include "MockUsb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include <poll.h>

namespace {

constexpr wchar_t kGuid[] = L"#{A5DCBF10-6530-11D2-901F-00C04FB951ED}";

struct Notice {
    uint32_t event;
    uint32_t type;
    std::wstring classGuid;
    std::wstring name;
};

struct Member {
    std::wstring instanceId;
    std::wstring location;  // empty: none could be read
};

class UdevDeviceSetup : public testing::Test {
protected:
    void SetUp() override {
        setup_ = plat::MakeUdevDeviceSetup();
    }

    void Register() {
        plat::DeviceBroadcastInterface filter;
        filter.size = plat::kDeviceInterfaceFilterSize;
        filter.deviceType = plat::DBT_DEVTYP_DEVICEINTERFACE;
        filter.classGuid = plat::GUID_DEVINTERFACE_USB_DEVICE;
        uint32_t code = 0;
        notification_ = setup_->RegisterDeviceNotification(
            filter,
            [this](uint32_t event, const plat::DeviceBroadcastHeader* header) {
                Notice n{event, header->deviceType, {}, {}};
                if (header->deviceType == plat::DBT_DEVTYP_DEVICEINTERFACE) {
                    auto* iface = static_cast<const plat::DeviceBroadcastInterface*>(header);
                    n.classGuid = iface->classGuid;
                    n.name = iface->name;
                }
                notices_.push_back(n);
                if (onNotice_) onNotice_(notices_.back());
            },
            &code);
        ASSERT_TRUE(notification_) << code;
        ASSERT_GE(notification_->Descriptor(), 0);
    }

    // Dispatches until count notices have come (or a minute has passed).
    void WaitForNotices(size_t count) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (notices_.size() < count && std::chrono::steady_clock::now() < until) {
            pollfd p{notification_->Descriptor(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) notification_->Dispatch();
        }
        ASSERT_EQ(notices_.size(), count);
    }

    std::vector<Member> Members(uint32_t flags) {
        uint32_t code = 0;
        auto set = setup_->GetClassDevs(L"USB", flags, &code);
        EXPECT_TRUE(set) << code;
        std::vector<Member> members;
        if (!set) return members;
        plat::DeviceInfoData data;
        for (uint32_t i = 0; set->EnumDeviceInfo(i, &data, &code); ++i) {
            Member m;
            EXPECT_TRUE(set->GetDeviceInstanceId(data, &m.instanceId, &code));
            set->GetLocationInformation(data, &m.location, &code);
            members.push_back(m);
        }
        EXPECT_EQ(code, plat::kErrorNoMoreItems);
        return members;
    }

    static std::optional<Member> Find(const std::vector<Member>& members, const std::wstring& instanceId) {
        for (const auto& m : members)
            if (m.instanceId == instanceId) return m;
        return std::nullopt;
    }

    MockUsbBed bed_;
    std::unique_ptr<plat::DeviceSetup> setup_;
    std::unique_ptr<plat::DeviceNotification> notification_;
    std::vector<Notice> notices_;
    std::function<void(const Notice&)> onNotice_;  // inside the handler, after the notice is kept
};

}  // namespace

TEST_F(UdevDeviceSetup, PluggedDeviceArrivesAndLeavesUnderItsInterfacePath) {
    Register();
    const std::string path = bed_.Plug("usb1/1-1/1-1.4", "05c6", "9039", "0123456789AB");
    WaitForNotices(1);
    const std::wstring name = std::wstring(L"\\\\?\\USB#VID_05C6&PID_9039#0123456789AB") + kGuid;
    EXPECT_EQ(notices_[0].event, plat::DBT_DEVICEARRIVAL);
    EXPECT_EQ(notices_[0].type, plat::DBT_DEVTYP_DEVICEINTERFACE);
    EXPECT_EQ(notices_[0].classGuid, plat::GUID_DEVINTERFACE_USB_DEVICE);
    EXPECT_EQ(notices_[0].name, name);

    const std::wstring id = L"USB\\VID_05C6&PID_9039\\0123456789AB";
    auto present = Members(plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES);
    std::optional<Member> m = Find(present, id);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->location, L"Port_#0004.Hub_#0001");

    bed_.Unplug(path);
    WaitForNotices(2);
    EXPECT_EQ(notices_[1].event, plat::DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(notices_[1].name, name);

    // Gone from the attached devices; still known, with the place it had.
    EXPECT_FALSE(Find(Members(plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES), id));
    m = Find(Members(plat::DIGCF_ALLCLASSES), id);
    ASSERT_TRUE(m);
    EXPECT_EQ(m->location, L"Port_#0004.Hub_#0001");
}

TEST_F(UdevDeviceSetup, SerialIsKeptExactlyInThePathAndUpperCasedInTheInstanceId) {
    Register();
    bed_.Plug("usb2/2-3", "18d1", "4ee7", "abc123xyz");
    WaitForNotices(1);
    EXPECT_EQ(notices_[0].name, std::wstring(L"\\\\?\\USB#VID_18D1&PID_4EE7#abc123xyz") + kGuid);
    EXPECT_TRUE(Find(Members(plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES),
                     L"USB\\VID_18D1&PID_4EE7\\ABC123XYZ"));
}

TEST_F(UdevDeviceSetup, DeviceWithoutUsableSerialGetsTheSameMadeUpIdOnArrivalAndRemoval) {
    Register();
    const std::string none = bed_.Plug("usb1/1-2", "18d1", "d00d", std::nullopt);
    const std::string bad = bed_.Plug("usb1/1-5", "18d1", "d00d", "a#b");
    WaitForNotices(2);
    bed_.Unplug(none);
    bed_.Unplug(bad);
    WaitForNotices(4);
    for (int i = 0; i < 2; ++i) {
        const std::wstring& name = notices_[i].name;
        const std::wstring prefix = L"\\\\?\\USB#VID_18D1&PID_D00D#";
        ASSERT_EQ(name.substr(0, prefix.size()), prefix);
        const std::wstring serial = name.substr(prefix.size(), name.size() - prefix.size() - 39);
        EXPECT_NE(serial.find(L'&'), std::wstring::npos) << serial;
        EXPECT_EQ(notices_[i + 2].name, name);
        EXPECT_EQ(notices_[i + 2].event, plat::DBT_DEVICEREMOVECOMPLETE);
    }
    EXPECT_NE(notices_[0].name, notices_[1].name);
}

TEST_F(UdevDeviceSetup, OnlyArrivalAndRemovalOfUsbDevicesAreNoticed) {
    Register();
    const std::string device = bed_.Plug("usb1/1-1", "05c6", "9039", "S1");
    WaitForNotices(1);
    // An interface of the device, a change of the device, another subsystem: no notice.
    bed_.Add("P: /devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0\nE: SUBSYSTEM=usb\n"
             "E: DEVTYPE=usb_interface\nA: bInterfaceClass=ff\n");
    bed_.Uevent(device, "change");
    bed_.Uevent(device, "bind");
    bed_.Add("P: /devices/virtual/block/loop9\nE: SUBSYSTEM=block\nE: DEVTYPE=disk\n");
    bed_.Plug("usb1/1-2", "05c6", "9039", "S2");
    WaitForNotices(2);
    EXPECT_EQ(notices_[1].event, plat::DBT_DEVICEARRIVAL);
    EXPECT_EQ(notices_[1].name, std::wstring(L"\\\\?\\USB#VID_05C6&PID_9039#S2") + kGuid);
}

TEST_F(UdevDeviceSetup, DeviceAttachedBeforeRegistrationIsNotAnnouncedButItsRemovalIsNamed) {
    const std::string early = bed_.Plug("usb1/1-1/1-1.2", "8087", "0a2b", "EARLY1");
    Register();
    bed_.Unplug(early);
    WaitForNotices(1);
    EXPECT_EQ(notices_[0].event, plat::DBT_DEVICEREMOVECOMPLETE);
    EXPECT_EQ(notices_[0].name, std::wstring(L"\\\\?\\USB#VID_8087&PID_0A2B#EARLY1") + kGuid);
    std::optional<Member> m = Find(Members(plat::DIGCF_ALLCLASSES), L"USB\\VID_8087&PID_0A2B\\EARLY1");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->location.substr(0, 11), L"Port_#0002.");
}

TEST_F(UdevDeviceSetup, SamePortOnTwoHubsGivesTwoLocationsAndRootHubsHaveNone) {
    bed_.Add("P: /devices/pci0000:00/0000:00:14.0/usb1\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n"
             "A: idVendor=1d6b\nA: idProduct=0002\nA: serial=0000:00:14.0\n");
    bed_.Plug("usb1/1-1/1-1.3", "05c6", "9039", "ONHUB1");
    bed_.Plug("usb1/1-2/1-2.3", "05c6", "9039", "ONHUB2");
    auto present = Members(plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES);
    std::optional<Member> a = Find(present, L"USB\\VID_05C6&PID_9039\\ONHUB1");
    std::optional<Member> b = Find(present, L"USB\\VID_05C6&PID_9039\\ONHUB2");
    std::optional<Member> root = Find(present, L"USB\\VID_1D6B&PID_0002\\0000:00:14.0");
    ASSERT_TRUE(a && b && root);
    EXPECT_EQ(a->location.substr(0, 11), L"Port_#0003.");
    EXPECT_EQ(b->location.substr(0, 11), L"Port_#0003.");
    EXPECT_NE(a->location, b->location);
    EXPECT_EQ(root->location, L"");
}

TEST_F(UdevDeviceSetup, ReplugOnTheSamePortKeepsTheLocation) {
    Register();
    std::string path = bed_.Plug("usb1/1-7", "18d1", "4ee7", "REPLUG");
    WaitForNotices(1);
    const std::wstring before =
        Find(Members(plat::DIGCF_PRESENT), L"USB\\VID_18D1&PID_4EE7\\REPLUG")->location;
    bed_.Unplug(path);
    path = bed_.Plug("usb1/1-7", "18d1", "4ee7", "REPLUG");
    WaitForNotices(3);
    EXPECT_EQ(notices_[2].event, plat::DBT_DEVICEARRIVAL);
    std::optional<Member> m = Find(Members(plat::DIGCF_PRESENT), L"USB\\VID_18D1&PID_4EE7\\REPLUG");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->location, before);
}

TEST_F(UdevDeviceSetup, RegistrationForAnotherClassOrTypeIsRefused) {
    plat::DeviceBroadcastInterface filter;
    filter.deviceType = plat::DBT_DEVTYP_DEVICEINTERFACE;
    filter.classGuid = L"{53F56307-B6BF-11D0-94F2-00A0C91EFB8B}";
    auto handler = [](uint32_t, const plat::DeviceBroadcastHeader*) {};
    uint32_t code = 0;
    EXPECT_FALSE(setup_->RegisterDeviceNotification(filter, handler, &code));
    EXPECT_EQ(code, plat::kErrorInvalidParameter);
    filter.classGuid = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    filter.deviceType = plat::DBT_DEVTYP_VOLUME;
    code = 0;
    EXPECT_FALSE(setup_->RegisterDeviceNotification(filter, handler, &code));
    EXPECT_EQ(code, plat::kErrorInvalidParameter);
    filter.deviceType = plat::DBT_DEVTYP_DEVICEINTERFACE;
    EXPECT_TRUE(setup_->RegisterDeviceNotification(filter, handler, &code));
}

TEST_F(UdevDeviceSetup, MembersPastTheEndAndOtherEnumeratorsAreEmpty) {
    bed_.Plug("usb1/1-1", "05c6", "9039", "ONLY");
    uint32_t code = 0;
    auto set = setup_->GetClassDevs(L"USB", plat::DIGCF_PRESENT, &code);
    ASSERT_TRUE(set);
    plat::DeviceInfoData data;
    EXPECT_TRUE(set->EnumDeviceInfo(0, &data, &code));
    EXPECT_FALSE(set->EnumDeviceInfo(1, &data, &code));
    EXPECT_EQ(code, plat::kErrorNoMoreItems);
    data.index = 7;
    std::wstring id;
    EXPECT_FALSE(set->GetDeviceInstanceId(data, &id, &code));
    EXPECT_EQ(code, plat::kErrorInvalidParameter);
    auto other = setup_->GetClassDevs(L"PCI", plat::DIGCF_PRESENT, &code);
    ASSERT_TRUE(other);
    EXPECT_FALSE(other->EnumDeviceInfo(0, &data, &code));
}

// A device that moved while unplugged is known at one place only: the latest one.
TEST_F(UdevDeviceSetup, ADeviceThatMovedLeavesFromItsNewPlace) {
    const std::wstring id = L"USB\\VID_18D1&PID_4EE7\\AAA001";
    auto expectOnePlace = [&](uint32_t flags, const wchar_t* location) {
        const auto members = Members(flags);
        EXPECT_EQ(std::count_if(members.begin(), members.end(), [&](const Member& m) { return m.instanceId == id; }), 1);
        std::optional<Member> m = Find(members, id);
        ASSERT_TRUE(m);
        EXPECT_EQ(m->location, location);
    };
    for (const bool attachedBefore : {false, true}) {
        SCOPED_TRACE(attachedBefore ? "attached before registration" : "plugged in after registration");
        setup_ = plat::MakeUdevDeviceSetup();
        notices_.clear();
        std::string path;
        if (attachedBefore) {
            path = bed_.Plug("usb1/1-1/1-1.2", "18d1", "4ee7", "AAA001");
            Register();
        } else {
            Register();
            path = bed_.Plug("usb1/1-1/1-1.2", "18d1", "4ee7", "AAA001");
            WaitForNotices(1);
        }
        size_t count = notices_.size();
        bed_.Unplug(path);
        WaitForNotices(++count);
        expectOnePlace(plat::DIGCF_ALLCLASSES, L"Port_#0002.Hub_#0001");
        for (const wchar_t port : {L'5', L'7'}) {
            path = bed_.Plug(std::string("usb1/1-1/1-1.") + char(port), "18d1", "4ee7", "AAA001");
            WaitForNotices(++count);
            const std::wstring place = std::wstring(L"Port_#000") + port + L".Hub_#0001";
            expectOnePlace(plat::DIGCF_PRESENT, place.c_str());
            expectOnePlace(plat::DIGCF_ALLCLASSES, place.c_str());
            bed_.Unplug(path);
            WaitForNotices(++count);
            EXPECT_EQ(notices_.back().event, plat::DBT_DEVICEREMOVECOMPLETE);
            expectOnePlace(plat::DIGCF_ALLCLASSES, place.c_str());
        }
        notification_.reset();
    }
}

// Two devices of one serial at once: an arrival and a removal each name the place of the device
// that came or left.
TEST_F(UdevDeviceSetup, TwoDevicesOfOneSerialAreEachNamedAtTheirOwnPlace) {
    const std::wstring id = L"USB\\VID_05C6&PID_9039\\TWIN01";
    Register();
    const std::string first = bed_.Plug("usb1/1-1/1-1.6", "05c6", "9039", "TWIN01");
    WaitForNotices(1);
    const std::string second = bed_.Plug("usb1/1-1/1-1.3", "05c6", "9039", "TWIN01");
    WaitForNotices(2);
    EXPECT_EQ(Find(Members(plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES), id)->location, L"Port_#0003.Hub_#0001");
    bed_.Unplug(first);
    WaitForNotices(3);
    EXPECT_EQ(Find(Members(plat::DIGCF_ALLCLASSES), id)->location, L"Port_#0006.Hub_#0001");
    EXPECT_EQ(Find(Members(plat::DIGCF_PRESENT), id)->location, L"Port_#0003.Hub_#0001");
    bed_.Unplug(second);
    WaitForNotices(4);
    EXPECT_EQ(Find(Members(plat::DIGCF_ALLCLASSES), id)->location, L"Port_#0003.Hub_#0001");
}

// A removal names the device that left its port, although a walk (the handler of an earlier notice
// walks, as the detector's does) met the device that has taken the port since.
TEST_F(UdevDeviceSetup, ARemovalNamesTheDeviceThatLeftThoughAWalkMetItsSuccessor) {
    const std::wstring ser0 = L"USB\\VID_05C6&PID_9039\\SER0";
    Register();
    const std::string path = bed_.Plug("usb1/1-1", "05c6", "9039", "SER0");
    WaitForNotices(1);
    for (const bool walkInHandler : {false, true}) {
        SCOPED_TRACE(walkInHandler ? "walk in the handler of an earlier notice" : "walk before the delivery");
        const size_t before = notices_.size();
        std::string other;
        if (walkInHandler) {
            other = bed_.Plug("usb1/1-2", "05c6", "9039", "OTHER");
            onNotice_ = [this](const Notice&) { Members(plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES); };
        }
        bed_.Unplug(walkInHandler ? bed_.SysPath("usb1/1-1") : path);
        bed_.Plug("usb1/1-1", "05c6", "9039", "SER1");
        if (!walkInHandler) Members(plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES);
        std::optional<Member> left;
        auto walk = onNotice_;
        onNotice_ = [&](const Notice& n) {
            if (walk) walk(n);
            if (n.event == plat::DBT_DEVICEREMOVECOMPLETE) left = Find(Members(plat::DIGCF_ALLCLASSES), ser0);
        };
        WaitForNotices(before + (walkInHandler ? 3 : 2));
        onNotice_ = nullptr;
        const size_t removal = notices_.size() - 2;
        EXPECT_EQ(notices_[removal].event, plat::DBT_DEVICEREMOVECOMPLETE);
        EXPECT_EQ(notices_[removal].name, std::wstring(L"\\\\?\\USB#VID_05C6&PID_9039#SER0") + kGuid);
        EXPECT_EQ(notices_[removal + 1].event, plat::DBT_DEVICEARRIVAL);
        EXPECT_EQ(notices_[removal + 1].name, std::wstring(L"\\\\?\\USB#VID_05C6&PID_9039#SER1") + kGuid);
        ASSERT_TRUE(left);
        EXPECT_EQ(left->location, L"Port_#0001.Hub_#0001") << "the place SER0 left";
        if (walkInHandler) break;
        // SER0 back on its port for the second round.
        bed_.Unplug(bed_.SysPath("usb1/1-1"));
        bed_.Plug("usb1/1-1", "05c6", "9039", "SER0");
        WaitForNotices(notices_.size() + 2);
    }
}

// Seeded random plugs, unplugs, walks and deliveries on three ports against a model of what is
// attached: every notice names the device that came or left at its port, and a removal's device is
// found at that port among the departed ones, whatever the walks met between the events and their
// delivery. An unplug waits for the arrival of its device to be delivered: an arrival is named from
// sysfs, which a later device on the port has taken over.
TEST_F(UdevDeviceSetup, NoticesNameTheDeviceOfTheirEventWhateverWalksRanBetween) {
    const std::vector<std::string> ports = {"1", "2", "3"};
    const std::vector<std::string> serials = {"SER0", "SER1", "SER2", "SER3"};
    auto nameOf = [](const std::string& serial) {
        return L"\\\\?\\USB#VID_18D1&PID_4EE7#" + std::wstring(serial.begin(), serial.end()) + kGuid;
    };
    auto idOf = [](const std::string& serial) {
        return L"USB\\VID_18D1&PID_4EE7\\" + std::wstring(serial.begin(), serial.end());
    };
    struct Expected {
        uint32_t event;
        std::string serial;
        std::string port;
    };
    std::mt19937 random(26);
    auto pick = [&random](size_t n) { return static_cast<size_t>(random() % n); };
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        setup_ = plat::MakeUdevDeviceSetup();
        notices_.clear();
        std::map<std::string, std::pair<std::string, bool>> attached;  // port: serial, arrival delivered
        std::vector<Expected> expected;
        for (const std::string& port : ports) {
            if (pick(3) != 0) continue;
            const std::string serial = serials[pick(serials.size())];
            bed_.Plug("usb1/1-" + port, "18d1", "4ee7", serial);
            attached[port] = {serial, true};  // known from the walk of the registration
        }
        Register();
        onNotice_ = [&](const Notice& n) {
            const size_t at = notices_.size() - 1;
            if (pick(2) == 0) Members(pick(2) ? plat::DIGCF_PRESENT : plat::DIGCF_ALLCLASSES);
            if (at >= expected.size() || n.event != plat::DBT_DEVICEREMOVECOMPLETE) return;
            const std::wstring location = L"Port_#000" + std::wstring(1, wchar_t(expected[at].port[0])) + L".Hub_#0001";
            std::optional<Member> m = Find(Members(plat::DIGCF_ALLCLASSES), idOf(expected[at].serial));
            EXPECT_TRUE(m && m->location == location) << "notice " << at << ": not found at " << expected[at].port;
        };
        auto deliver = [&] {
            WaitForNotices(expected.size());
            for (auto& [port, device] : attached) device.second = true;
        };
        for (int step = 0; step < 30; ++step) {
            switch (pick(4)) {
            case 0: {  // plug into a free port
                std::vector<std::string> free;
                for (const std::string& port : ports)
                    if (!attached.count(port)) free.push_back(port);
                if (free.empty()) break;
                const std::string port = free[pick(free.size())];
                const std::string serial = serials[pick(serials.size())];
                bed_.Plug("usb1/1-" + port, "18d1", "4ee7", serial);
                attached[port] = {serial, false};
                expected.push_back({plat::DBT_DEVICEARRIVAL, serial, port});
                break;
            }
            case 1: {  // unplug a device whose arrival was delivered
                std::vector<std::string> announced;
                for (const auto& [port, device] : attached)
                    if (device.second) announced.push_back(port);
                if (announced.empty()) break;
                const std::string port = announced[pick(announced.size())];
                bed_.Unplug(bed_.SysPath("usb1/1-" + port));
                expected.push_back({plat::DBT_DEVICEREMOVECOMPLETE, attached[port].first, port});
                attached.erase(port);
                break;
            }
            case 2: Members(pick(2) ? plat::DIGCF_PRESENT | plat::DIGCF_ALLCLASSES : plat::DIGCF_ALLCLASSES); break;
            default: deliver(); break;
            }
        }
        deliver();
        for (const auto& [port, device] : attached) {
            bed_.Unplug(bed_.SysPath("usb1/1-" + port));
            expected.push_back({plat::DBT_DEVICEREMOVECOMPLETE, device.first, port});
        }
        attached.clear();
        deliver();
        onNotice_ = nullptr;
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_EQ(notices_[i].event, expected[i].event) << "notice " << i;
            EXPECT_EQ(notices_[i].name, nameOf(expected[i].serial)) << "notice " << i << " at port " << expected[i].port;
        }
        notification_.reset();
    }
}
