#include "KivDevice.h"
#include "KivDeviceRows.h"
#include "KivDialogs.h"
#include "KivWorkerBox.h"
#include "StationGui.h"

#include <wx/image.h>
#include <wx/listctrl.h>
#include <wx/msgdlg.h>
#include <wx/toplevel.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

using MainWindowPicture = StationGui;

// Saves a picture of the whole screen as screenshots/<name>.png in the build tree.
void SaveScreen(StationGui& gui, const char* name);

// Leaves pictures of the screen with the main window in the build tree (screenshots/*.png);
// tools/screenshot.sh runs it under a window manager, so that the title bar shows too.
TEST_F(MainWindowPicture, Screenshot) {
    SaveScreen(*this, "main-window");

    const struct {
        const char* serial;
        uint32_t state;
        const char* text;
    } rows[] = {
        {"ZX5A0001", DEV_CONNECTED, ""},
        {"ZX5A0002", DEV_DISCONNECTED, ""},
        {"ZX5A0003", DEV_FASTBOOT_FLASHING, "Flash image ..."},
        {"ZX5A0004", DEV_PASS, "Flash image successfully (ZX5A0004)"},
        {"ZX5A0005", DEV_FAIL, "Unzip image failure(Can't open the zip file)"},
    };
    for (const auto& row : rows) {
        wxCriticalSectionLocker locker(frame->listLock);
        ASSERT_TRUE(AddDeviceRow(frame->deviceList, row.serial, 99, nullptr));
        const wxString text = row.text;
        ASSERT_TRUE(SetDeviceRowState(frame->deviceList, row.serial, &text, row.state, nullptr));
    }
    EXPECT_EQ(frame->deviceList->GetItemCount(), 5);
    SaveScreen(*this, "main-window-rows");

    // Two workers' boxes standing beside the window.
    KivSetDialogHandlerForTesting(nullptr);
    std::vector<std::thread> workers;
    std::atomic<int> waiting{2};
    for (const char* text : {"ZLK1CSC", "No Internet Connection!! Please check it"})
        workers.emplace_back([text, &waiting] {
            KivMessageBoxAndWait(text, wxMessageBoxCaptionStr, wxOK | wxCENTRE);
            --waiting;
        });
    std::vector<KivWorkerBox*> boxes;
    PumpUntil([&] {
        boxes.clear();
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* box = dynamic_cast<KivWorkerBox*>(window))
                boxes.push_back(box);
        return boxes.size() == 2;
    });
    EXPECT_EQ(boxes.size(), 2u);
    if (boxes.size() == 2)
        boxes[1]->Move(boxes[0]->GetPosition() + wxPoint(60, boxes[0]->GetSize().y + 20));
    SaveScreen(*this, "main-window-worker-boxes");
    PumpUntil([&] {
        for (wxWindow* window : wxTopLevelWindows)
            if (auto* box = dynamic_cast<KivWorkerBox*>(window); box && box->IsShown())
                box->Answer(wxID_OK);
        return waiting == 0;
    });
    for (std::thread& worker : workers)
        worker.join();
}

// The screen as the X server holds it, window manager decorations included.
void SaveScreen(StationGui& gui, const char* name) {
    gui.RunEventLoop(1000);  // let a window manager map and maximise the window, and the window paint
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    const Window root = DefaultRootWindow(display);
    XWindowAttributes attributes;
    ASSERT_TRUE(XGetWindowAttributes(display, root, &attributes));
    XImage* shot = XGetImage(display, root, 0, 0, attributes.width, attributes.height, AllPlanes, ZPixmap);
    ASSERT_NE(shot, nullptr);
    wxImage picture(attributes.width, attributes.height);
    auto channel = [](unsigned long pixel, unsigned long mask) {
        int shift = 0;
        while (mask && !(mask & 1)) {
            mask >>= 1;
            ++shift;
        }
        return static_cast<unsigned char>(mask ? ((pixel >> shift) & mask) * 255 / mask : 0);
    };
    for (int y = 0; y < attributes.height; ++y) {
        for (int x = 0; x < attributes.width; ++x) {
            const unsigned long pixel = XGetPixel(shot, x, y);
            picture.SetRGB(x, y, channel(pixel, shot->red_mask), channel(pixel, shot->green_mask),
                           channel(pixel, shot->blue_mask));
        }
    }
    XDestroyImage(shot);
    XCloseDisplay(display);

    const std::filesystem::path dir = std::filesystem::path(ZELK_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(dir);
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
        wxImage::AddHandler(new wxPNGHandler);
    EXPECT_TRUE(picture.SaveFile((dir / (std::string(name) + ".png")).string(), wxBITMAP_TYPE_PNG));
}

}  // namespace
