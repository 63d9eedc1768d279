// The running application and its main window as the parts below the windows see them: the
// devices, services and flows reach them only through here, never through their classes.
#pragma once
#include <wx/string.h>

#include <cstdint>
#include <memory>

class wxCriticalSection;
class wxListCtrl;
class wxWindow;
struct SettingsValues;
namespace RYL {
class CInternetAgent;
}

class KivStationHost {
public:
    // The running application when it is a station host, else null.
    static KivStationHost* Get();

    // One log record, from any thread (see KivApp::Log).
    virtual void Log(const wxString& tag, uint32_t code, int32_t level, const wchar_t* text) = 0;
    // The latest-image check's own agent (see KivApp::GetInternetAgent).
    virtual std::shared_ptr<RYL::CInternetAgent> GetInternetAgent() = 0;

    // The main window and its parts; null while there is no main window (the settings also while
    // it has no settings window).
    virtual wxWindow* MainWindow() = 0;
    virtual wxListCtrl* DeviceList() = 0;
    virtual wxCriticalSection* ListLock() = 0;
    virtual const SettingsValues* Settings() = 0;

protected:
    ~KivStationHost() = default;
};
