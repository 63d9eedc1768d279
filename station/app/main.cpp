// ZelkFlashTool: hands over to wxWidgets, whose application factory makes the one KivApp.
#include "KivApp.h"

namespace {
wxAppConsole* CreateKivApp() {
    wxAppConsole::CheckBuildOptions(WX_BUILD_OPTIONS_SIGNATURE, "ZelkFlashTool");
    return new KivApp;
}
wxAppInitializer kivAppInitializer(CreateKivApp);
}  // namespace

int main(int argc, char** argv) { return wxEntry(argc, argv); }
