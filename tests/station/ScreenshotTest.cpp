#include "StationGui.h"

#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/image.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using MainWindowPicture = StationGui;

// Leaves a picture of the screen with the main window in the build tree
// (screenshots/main-window.png); tools/screenshot.sh runs it under a window manager, so that the
// title bar shows too.
TEST_F(MainWindowPicture, Screenshot) {
    for (int i = 0; i < 20; ++i) {  // let a window manager map and maximise the window
        Pump(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    int width = 0, height = 0;
    wxDisplaySize(&width, &height);
    ASSERT_GT(width, 0);
    ASSERT_GT(height, 0);
    wxBitmap picture(width, height);
    {
        wxScreenDC screen;
        wxMemoryDC memory(picture);
        ASSERT_TRUE(memory.Blit(0, 0, width, height, &screen, 0, 0));
    }
    const std::filesystem::path dir = std::filesystem::path(ZELK_BINARY_DIR) / "screenshots";
    std::filesystem::create_directories(dir);
    if (!wxImage::FindHandler(wxBITMAP_TYPE_PNG))
        wxImage::AddHandler(new wxPNGHandler);
    EXPECT_TRUE(picture.ConvertToImage().SaveFile((dir / "main-window.png").string(), wxBITMAP_TYPE_PNG));
}

}  // namespace
