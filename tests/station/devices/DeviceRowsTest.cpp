#include "KivDevice.h"
#include "KivDeviceRows.h"

#include <gtest/gtest.h>

#include <atomic>
#include <iterator>
#include <thread>
#include <vector>

namespace {

const char kDuplicate[] = "The serial number already exists in the list control.";
const char kInsertFailed[] = "Insert item to list control failure.";
const char kRemoveMissing[] = "Can not find the device in the list.";
const char kStateMissing[] = "The serial number doesn't exists in the list control.";

// Replays queued changes the way the GUI thread applies them to the list control.
struct FakeList {
    std::vector<KivDeviceRows::Row> rows;
    void Apply(const std::vector<KivRowChange>& changes) {
        for (const KivRowChange& c : changes) {
            switch (c.kind) {
            case KivRowChange::Insert: {
                KivDeviceRows::Row row;
                row.serial = c.text;
                rows.insert(rows.begin() + std::min<size_t>(c.row, rows.size()), row);
                break;
            }
            case KivRowChange::Delete:
                rows.erase(rows.begin() + c.row);
                break;
            case KivRowChange::SetCell:
                if (c.column == KIV_COLUMN_STATE) {
                    rows[c.row].state = c.text;
                    rows[c.row].stateImage = c.image;
                } else if (c.column == KIV_COLUMN_DESCRIPTION) {
                    rows[c.row].description = c.text;
                }
                break;
            }
        }
    }
};

TEST(DeviceRows, AddRefusesADuplicateWhateverItsLetterCase) {
    KivDeviceRows rows;
    wxString error = "untouched";
    ASSERT_TRUE(rows.Add("abc123", 0, &error));
    EXPECT_EQ(error, "untouched");
    EXPECT_FALSE(rows.Add("ABC123", 0, &error));
    EXPECT_EQ(error, kDuplicate);
    EXPECT_FALSE(rows.Add("abc123", 0, nullptr));
    ASSERT_EQ(rows.Rows().size(), 1u);

    // Either spelling reaches the one row.
    const wxString text = "Found";
    EXPECT_TRUE(rows.SetState("ABC123", &text, 0, &error, nullptr));
    EXPECT_EQ(rows.Rows()[0].description, "Found");
    EXPECT_TRUE(rows.SetState("abc123", nullptr, DEV_CONNECTED, &error, nullptr));
    EXPECT_EQ(rows.Rows()[0].state, "Connected");
}

TEST(DeviceRows, AddInsertsAtThePosition) {
    KivDeviceRows rows;
    ASSERT_TRUE(rows.Add("first", 0, nullptr));
    ASSERT_TRUE(rows.Add("second", 0, nullptr));  // the newest stands at the top
    ASSERT_TRUE(rows.Add("last", 99, nullptr));   // past the end: appended
    ASSERT_TRUE(rows.Add("middle", 1, nullptr));
    std::vector<wxString> serials;
    for (const auto& row : rows.Rows())
        serials.push_back(row.serial);
    EXPECT_EQ(serials, (std::vector<wxString>{"second", "middle", "first", "last"}));

    wxString error;
    EXPECT_FALSE(rows.Add("negative", -1, &error));
    EXPECT_EQ(error, kInsertFailed);
}

TEST(DeviceRows, MissingRowsAreReportedWithTheirTexts) {
    KivDeviceRows rows;
    wxString error;
    EXPECT_FALSE(rows.Remove("nope", &error));
    EXPECT_EQ(error, kRemoveMissing);
    error.clear();
    EXPECT_FALSE(rows.SetState("nope", nullptr, DEV_PASS, &error, nullptr));
    EXPECT_EQ(error, kStateMissing);
    EXPECT_FALSE(rows.Remove("nope", nullptr));
    EXPECT_FALSE(rows.SetState("nope", nullptr, DEV_PASS, nullptr, nullptr));

    ASSERT_TRUE(rows.Add("here", 0, nullptr));
    EXPECT_TRUE(rows.Remove("HERE", &error));
    EXPECT_TRUE(rows.Rows().empty());
}

struct StateCase {
    uint32_t code;
    const char* text;
    int image;
    int fromConnected;  // counter change when the row shows "Connected"
    int fromRunning;    // counter change when the row shows a running job ("Installing")
};

const StateCase kStateCases[] = {
    {DEV_CONNECTED, "Connected", KIV_IMAGE_BLUE, 0, 0},
    {DEV_DISCONNECTED, "Disconnected", KIV_IMAGE_BLUED, 0, 0},
    {DEV_RECOVERY_FLASHING, "Installing", KIV_IMAGE_YELLOW, +1, +1},
    {DEV_RECOVERY_RETURNED, "Installing", KIV_IMAGE_YELLOW, +1, +1},
    {DEV_FASTBOOT_FLASHING, "Installing", KIV_IMAGE_YELLOW, +1, +1},
    {DEV_SCRIPT_FLASHING, "Installing", KIV_IMAGE_YELLOW, +1, +1},
    {DEV_WIPE_INSTALL, "Wiping", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_WIPE_REBOOTED, "Wiping", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_WIPE_LEFT, "Wiping", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_SIDELOAD_READY, "Wiping", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_SIDELOADING, "Wiping", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_CHECKING, "Checking", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_FASTBOOT_CHECKING, "Checking", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_SCRIPT_CHECKING, "Checking", KIV_IMAGE_YELLOW, 0, 0},
    {DEV_PASS, "Pass", KIV_IMAGE_GREEN, 0, -1},
    {DEV_FAIL, "Fail", KIV_IMAGE_RED, 0, -1},
};

TEST(DeviceRows, StateTable) {
    for (const StateCase& c : kStateCases) {
        for (bool running : {false, true}) {
            KivDeviceRows rows;
            ASSERT_TRUE(rows.Add("S", 0, nullptr));
            ASSERT_TRUE(rows.SetState("S", nullptr, running ? DEV_SCRIPT_FLASHING : DEV_CONNECTED, nullptr, nullptr));
            const int32_t before = rows.BusyCount();
            const wxString description = "step";
            rows.SetState("S", &description, 0, nullptr, nullptr);
            rows.TakeChanges();

            bool busyChanged = false;
            ASSERT_TRUE(rows.SetState("S", nullptr, c.code, nullptr, &busyChanged));
            const int expected = running ? c.fromRunning : c.fromConnected;
            const auto row = rows.Rows()[0];
            EXPECT_EQ(row.state, c.text) << std::hex << c.code;
            EXPECT_EQ(row.stateImage, c.image) << std::hex << c.code;
            EXPECT_EQ(rows.BusyCount() - before, expected) << std::hex << c.code << " running " << running;
            EXPECT_EQ(busyChanged, expected != 0) << std::hex << c.code;
            EXPECT_EQ(row.description, "step") << "a code without a text keeps the Description";

            const auto changes = rows.TakeChanges();
            ASSERT_EQ(changes.size(), 1u);
            EXPECT_EQ(changes[0].kind, KivRowChange::SetCell);
            EXPECT_EQ(changes[0].column, KIV_COLUMN_STATE);
            EXPECT_EQ(changes[0].text, c.text);
            EXPECT_EQ(changes[0].image, c.image);
        }
    }
}

TEST(DeviceRows, CodeZeroChangesOnlyTheDescription) {
    KivDeviceRows rows;
    ASSERT_TRUE(rows.Add("S", 0, nullptr));
    ASSERT_TRUE(rows.SetState("S", nullptr, DEV_FASTBOOT_FLASHING, nullptr, nullptr));
    rows.TakeChanges();
    const wxString text = "Flash image ...";
    bool busyChanged = true;
    ASSERT_TRUE(rows.SetState("S", &text, 0, nullptr, &busyChanged));
    EXPECT_FALSE(busyChanged);
    EXPECT_EQ(rows.BusyCount(), 1);
    EXPECT_EQ(rows.Rows()[0].state, "Installing");
    EXPECT_EQ(rows.Rows()[0].description, text);
    const auto changes = rows.TakeChanges();
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].column, KIV_COLUMN_DESCRIPTION);
    EXPECT_EQ(changes[0].text, text);
}

TEST(DeviceRows, BusyCounterCountsRunningJobs) {
    KivDeviceRows rows;
    for (const char* s : {"A", "B", "C"}) {
        ASSERT_TRUE(rows.Add(s, 0, nullptr));
        ASSERT_TRUE(rows.SetState(s, nullptr, DEV_CONNECTED, nullptr, nullptr));
    }
    rows.SetState("A", nullptr, DEV_RECOVERY_FLASHING, nullptr, nullptr);
    rows.SetState("B", nullptr, DEV_FASTBOOT_FLASHING, nullptr, nullptr);
    EXPECT_EQ(rows.BusyCount(), 2);
    rows.SetState("A", nullptr, DEV_WIPE_INSTALL, nullptr, nullptr);
    rows.SetState("A", nullptr, DEV_CHECKING, nullptr, nullptr);
    EXPECT_EQ(rows.BusyCount(), 2);
    rows.SetState("C", nullptr, DEV_FAIL, nullptr, nullptr);  // a job that never started
    EXPECT_EQ(rows.BusyCount(), 2);
    rows.SetState("A", nullptr, DEV_PASS, nullptr, nullptr);
    EXPECT_EQ(rows.BusyCount(), 1);
    rows.SetState("B", nullptr, DEV_FAIL, nullptr, nullptr);
    rows.SetState("B", nullptr, DEV_FAIL, nullptr, nullptr);  // a second Fail
    rows.SetState("A", nullptr, DEV_PASS, nullptr, nullptr);
    EXPECT_EQ(rows.BusyCount(), 0);
}

// Codes in an order that no single worker makes (a verdict after a verdict, a check that starts on a
// row whose job already failed) never take the counter below 0 or leave it raised.
TEST(DeviceRows, BusyCounterNeverGoesBelowZero) {
    KivDeviceRows rows;
    ASSERT_TRUE(rows.Add("A", 0, nullptr));
    const uint32_t codes[] = {DEV_FASTBOOT_FLASHING, DEV_FAIL,  DEV_FASTBOOT_CHECKING, DEV_PASS, DEV_FAIL,
                              DEV_WIPE_LEFT,         DEV_CHECKING, DEV_PASS, DEV_RECOVERY_FLASHING, DEV_CHECKING,
                              DEV_PASS,              DEV_PASS};
    const int32_t expected[] = {1, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0};
    for (size_t i = 0; i < std::size(codes); ++i) {
        rows.SetState("A", nullptr, codes[i], nullptr, nullptr);
        EXPECT_EQ(rows.BusyCount(), expected[i]) << "after code " << std::hex << codes[i] << " at " << std::dec << i;
    }
}

TEST(DeviceRows, ChangesReplayToTheSameRowsFromManyThreads) {
    KivDeviceRows rows;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&rows, t] {
            const wxString serial = wxString::Format("DEV%d", t);
            for (int i = 0; i < 50; ++i) {
                rows.Add(serial, i % 3, nullptr);
                const wxString text = wxString::Format("step %d of %d", i, t);
                rows.SetState(serial, &text, i % 2 ? DEV_SCRIPT_FLASHING : DEV_PASS, nullptr, nullptr);
                if (i % 5 == 4)
                    rows.Remove(serial, nullptr);
            }
        });
    }
    FakeList list;
    std::atomic<bool> done{false};
    std::thread gui([&] {
        while (!done)
            list.Apply(rows.TakeChanges());
    });
    for (auto& t : threads)
        t.join();
    done = true;
    gui.join();
    list.Apply(rows.TakeChanges());

    const auto expected = rows.Rows();
    ASSERT_EQ(list.rows.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(list.rows[i].serial, expected[i].serial);
        EXPECT_EQ(list.rows[i].state, expected[i].state);
        EXPECT_EQ(list.rows[i].stateImage, expected[i].stateImage);
        EXPECT_EQ(list.rows[i].description, expected[i].description);
    }
}

TEST(DeviceRows, ScheduleApplyOnceUntilTheChangesAreTaken) {
    KivDeviceRows rows;
    EXPECT_TRUE(rows.ScheduleApply());
    EXPECT_FALSE(rows.ScheduleApply());
    rows.TakeChanges();
    EXPECT_TRUE(rows.ScheduleApply());
}

}  // namespace
