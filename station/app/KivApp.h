// The application object: starts the program, owns the log store and writes the log files.
#pragma once
#include "KivStationHost.h"

#include <wx/app.h>
#include <wx/string.h>

#include <cstdint>
#include <memory>

namespace RYL {
class CLogStore;
class CLogQueue;
class CInternetAgent;
}
class KivFrame;

class KivApp : public wxApp, public KivStationHost {
public:
    KivApp();
    // Writes the records that came after the last save to a log file of their own, then ends.
    ~KivApp() override;
    bool OnInit() override;

    // One log record, from any thread: "[tag] text" (the text alone for an empty tag), at most 511
    // characters. On the GUI thread the store takes it at once; on any other thread a copy is
    // queued without waiting and the GUI thread hands queued records over in order.
    void Log(const wxString& tag, uint32_t code, int32_t level, const wchar_t* text) override;
    // Writes the store to "log/<yyyymmdd_hhmmss>.log" and empties it; false keeps the records.
    bool SaveLog();

    // The running application when it is a KivApp, else null.
    static KivApp* Get();

    // The latest-image check's own agent, made on the first call (null only when it cannot be
    // allocated; the next call tries again). The application lets it go when it ends; a check
    // still running then keeps it until its request is done.
    std::shared_ptr<RYL::CInternetAgent> GetInternetAgent() override;

    // The main window's parts, for what lies below the windows.
    wxWindow* MainWindow() override;
    wxListCtrl* DeviceList() override;
    wxCriticalSection* ListLock() override;
    const SettingsValues* Settings() override;

    RYL::CLogStore* logStore;
    std::shared_ptr<RYL::CInternetAgent> internetAgent;  // the latest-image check's own, made on first use
    KivFrame* frame;

private:
    // Hands records to the store: at once on the GUI thread, queued from any other.
    std::unique_ptr<RYL::CLogQueue> logQueue;
};

// "log/<time>.log", or with "_2", "_3", ... before ".log" when a file of that name exists.
wxString KivLogFileName(const wxString& time);

wxDECLARE_APP(KivApp);
