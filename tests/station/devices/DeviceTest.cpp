#include "KivDevice.h"
#include "KivDeviceWorker.h"

#include <gtest/gtest.h>
#include <wx/init.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

namespace {

// A worker that never runs: only its pointer goes into a slot.
class IdleWorker : public KivDeviceWorker {
public:
    IdleWorker() : KivDeviceWorker(nullptr, KivSlot::Download) {}
    void Steps() override {}
};

class Records : public ::testing::Test {
protected:
    wxInitializer wx;
    std::vector<std::unique_ptr<KivDevice>> owned;
    KivArrayDevice devices;

    KivDevice* Add(const char* serial, const char* port, const char* hub, uint32_t state) {
        owned.push_back(std::make_unique<KivDevice>(serial, port, hub, state));
        devices.Add(owned.back().get());
        return owned.back().get();
    }
};

TEST_F(Records, NewRecordHasItsDefaults) {
    KivDevice device("SER123", "3", "1", DEV_CONNECTED);
    EXPECT_EQ(device.listKey, "SER123");
    EXPECT_EQ(device.serial, "SER123");
    EXPECT_EQ(device.port, "3");
    EXPECT_EQ(device.hub, "1");
    EXPECT_EQ(device.state, DEV_CONNECTED);
    EXPECT_TRUE(device.detectedSerial.empty());
    EXPECT_TRUE(device.model.empty());
    EXPECT_TRUE(device.imagePath.empty());
    EXPECT_TRUE(device.wipe);
    EXPECT_FALSE(device.removing);
    EXPECT_FALSE(device.IsBusy());
    for (int i = 0; i < kKivSlotCount; ++i)
        EXPECT_EQ(device.WorkerIn(static_cast<KivSlot>(i)), nullptr);
}

TEST_F(Records, StateMasks) {
    EXPECT_EQ(DEV_ANY, 0x1FFFFFu);
    EXPECT_EQ(DEV_REMOVABLE, 0x302u);
    const uint32_t codes[] = {DEV_CONNECTED, DEV_DISCONNECTED, DEV_RECOVERY_FLASHING, DEV_RECOVERY_RETURNED,
                              DEV_WIPE_INSTALL, DEV_WIPE_REBOOTED, DEV_WIPE_LEFT, DEV_CHECKING, DEV_PASS,
                              DEV_FAIL, DEV_FASTBOOT_FLASHING, DEV_FASTBOOT_CHECKING, DEV_SCRIPT_FLASHING,
                              DEV_SCRIPT_WAIT_REBOOT, DEV_SCRIPT_CHECKING, DEV_SIDELOAD_READY, DEV_SIDELOADING};
    uint32_t all = 0;
    for (uint32_t code : codes) {
        EXPECT_EQ(code & (code - 1), 0u) << std::hex << code << " is not one bit";
        EXPECT_EQ(all & code, 0u);
        all |= code;
    }
    EXPECT_EQ(all | 0x800 | 0x1000 | 0x8000 | 0x10000, DEV_ANY);
}

TEST_F(Records, FindDeviceTable) {
    KivDevice* first = Add("AAA", "1", "1", DEV_CONNECTED);
    KivDevice* second = Add("BBB", "2", "1", DEV_PASS);
    KivDevice* third = Add("AAA", "3", "2", DEV_FAIL);
    const wxString aaa = "AAA", aaaLower = "aaa", bbb = "BBB", none = "CCC";
    const wxString p1 = "1", p2 = "2", p3 = "3", h1 = "1", h2 = "2";

    struct Case {
        const char* name;
        const wxString* serial;
        const wxString* port;
        const wxString* hub;
        uint32_t mask;
        KivDevice* expected;
    } cases[] = {
        {"no texts, any state: the first record", nullptr, nullptr, nullptr, DEV_ANY, first},
        {"two match: the one nearer the start", &aaa, nullptr, nullptr, DEV_ANY, first},
        {"mask skips the first match", &aaa, nullptr, nullptr, DEV_REMOVABLE, third},
        {"serial, port and hub", &aaa, &p3, &h2, DEV_ANY, third},
        {"port alone", nullptr, &p2, nullptr, DEV_ANY, second},
        {"hub alone", nullptr, nullptr, &h2, DEV_ANY, third},
        {"letter case of the serial counts", &aaaLower, nullptr, nullptr, DEV_ANY, nullptr},
        {"unknown serial", &none, nullptr, nullptr, DEV_ANY, nullptr},
        {"all texts match but no bit of the mask", &bbb, &p2, &h1, DEV_CONNECTED | DEV_FAIL, nullptr},
        {"port matches, hub does not", &aaa, &p1, &h2, DEV_ANY, nullptr},
        {"empty mask finds nothing", nullptr, nullptr, nullptr, 0, nullptr},
    };
    for (const Case& c : cases) {
        KivDevice* found = reinterpret_cast<KivDevice*>(1);
        EXPECT_EQ(FindDevice(&found, devices, c.serial, c.port, c.hub, c.mask), c.expected != nullptr) << c.name;
        EXPECT_EQ(found, c.expected) << c.name;
    }
}

TEST_F(Records, FindDeviceInEmptyArray) {
    KivDevice* found = reinterpret_cast<KivDevice*>(1);
    EXPECT_FALSE(FindDevice(&found, devices, nullptr, nullptr, nullptr, DEV_ANY));
    EXPECT_EQ(found, nullptr);
}

// Workers change a record's state under the record's lock alone: a lookup waits while one holds
// it and then sees the state it left.
TEST_F(Records, FindDeviceReadsTheStateUnderTheRecordsLock) {
    Add("A", "1", "1", DEV_CONNECTED);
    KivDevice* b = Add("B", "2", "1", DEV_FASTBOOT_FLASHING);
    std::promise<void> held, release;
    std::thread worker([&] {
        wxCriticalSectionLocker locker(b->lock);
        held.set_value();
        release.get_future().wait();
        b->state = DEV_PASS;
    });
    held.get_future().wait();
    KivDevice* found = nullptr;
    std::future<bool> lookup = std::async(std::launch::async, [&] {
        return FindDevice(&found, devices, nullptr, nullptr, nullptr, DEV_PASS | DEV_FAIL);
    });
    EXPECT_EQ(lookup.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout)
        << "the lookup read the record while a worker held its lock";
    release.set_value();
    worker.join();
    EXPECT_TRUE(lookup.get());
    EXPECT_EQ(found, b);
}

TEST_F(Records, ArrayRemoveKeepsTheRecordAndIgnoresStrangers) {
    KivDevice* a = Add("A", "1", "1", DEV_CONNECTED);
    KivDevice* b = Add("B", "2", "1", DEV_CONNECTED);
    KivDevice stranger("S", "9", "9", DEV_CONNECTED);
    devices.Remove(&stranger);
    ASSERT_EQ(devices.GetCount(), 2u);
    devices.Remove(a);
    ASSERT_EQ(devices.GetCount(), 1u);
    EXPECT_EQ(devices[0], b);
    EXPECT_EQ(a->serial, "A");  // still alive
}

TEST_F(Records, IsBusyWhileAnySlotHoldsAWorker) {
    KivDevice device("S", "1", "1", DEV_CONNECTED);
    IdleWorker worker;
    for (int i = 0; i < kKivSlotCount; ++i) {
        const KivSlot slot = static_cast<KivSlot>(i);
        device.SetWorker(slot, &worker);
        EXPECT_TRUE(device.IsBusy()) << "slot " << i;
        EXPECT_EQ(device.WorkerIn(slot), &worker);
        device.SetWorker(slot, nullptr);
        EXPECT_FALSE(device.IsBusy()) << "slot " << i;
    }
    device.scriptCheckThread.set(&worker);
    EXPECT_TRUE(device.scriptCheckThread);
    EXPECT_FALSE(device.scriptCheckThread == nullptr);
    EXPECT_TRUE(device.IsBusy());
    device.scriptCheckThread = nullptr;
    EXPECT_FALSE(device.IsBusy());
}

TEST(DeviceChangeInfoTest, KeepsItsFields) {
    DeviceChangeInfo info("18d1", "4ee7", "SER", "4", "2", true);
    EXPECT_EQ(info.vendorId, "18d1");
    EXPECT_EQ(info.productId, "4ee7");
    EXPECT_EQ(info.serial, "SER");
    EXPECT_EQ(info.port, "4");
    EXPECT_EQ(info.hub, "2");
    EXPECT_TRUE(info.arrived);
}

}  // namespace
