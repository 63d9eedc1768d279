#include "KivApp.h"

#include "InternetAgent.h"
#include "KivFrame.h"
#include "KivFrameSettings.h"
#include "KivVersion.h"
#include "LogQueue.h"
#include "LogStore.h"
#include "Paths.h"

#include <wx/filefn.h>

#include <mutex>
#include <new>

KivApp& wxGetApp() { return *static_cast<KivApp*>(wxApp::GetInstance()); }

KivApp* KivApp::Get() { return dynamic_cast<KivApp*>(wxApp::GetInstance()); }

KivApp::KivApp() : logStore(nullptr), frame(nullptr) {
    logStore = new RYL::CLogStore(nullptr);  // nullptr: the desktop window
    logQueue = std::make_unique<RYL::CLogQueue>(*logStore);
    logQueue->SetWakeUp([this] { CallAfter([this] { logQueue->Drain(); }); });
}

KivApp::~KivApp() {
    // Records that workers queued after the last save (those stopped by a forced close) are kept.
    logQueue->Drain();
    if (!logStore->IsEmpty())
        SaveLog();
    logQueue.reset();
    delete logStore;
    logStore = nullptr;
    internetAgent.reset();
}

bool KivApp::OnInit() {
    if (!wxApp::OnInit())
        return false;
    const wxString title = wxString::Format("%s v%s %s %s", kProductName, kProductVersion, "", "");
    frame = new KivFrame(title);
    return true;
}

std::shared_ptr<RYL::CInternetAgent> KivApp::GetInternetAgent() {
    static std::mutex agentMutex;
    std::lock_guard<std::mutex> guard(agentMutex);
    if (!internetAgent) {
        try {
            internetAgent = std::make_shared<RYL::CInternetAgent>(nullptr, nullptr);  // nullptr: the desktop window
        } catch (const std::bad_alloc&) {
        }
    }
    return internetAgent;
}

wxWindow* KivApp::MainWindow() { return frame; }

wxListCtrl* KivApp::DeviceList() { return frame ? frame->deviceList : nullptr; }

wxCriticalSection* KivApp::ListLock() { return frame ? &frame->listLock : nullptr; }

const SettingsValues* KivApp::Settings() { return frame && frame->settings ? &frame->settings->values : nullptr; }

void KivApp::Log(const wxString& tag, uint32_t code, int32_t level, const wchar_t* text) {
    if (!logStore)
        return;
    RYL::tagLogRecord record;
    record.nLevel = level;
    record.dwCode = code;
    record.dtTime = RYL::COleDateTime::GetCurrentTime();
    const wxString body = text ? text : L"";
    record.SetText((tag.empty() ? body : wxString::Format("[%s] %s", tag, body)).ToStdWstring());
    logQueue->Hand(record);
}

wxString KivLogFileName(const wxString& time) {
    wxString name = wxString::Format("log/%s.log", time);
    for (int n = 2; plat::FileExists(name.ToStdWstring()); ++n)
        name = wxString::Format("log/%s_%d.log", time, n);
    return name;
}

bool KivApp::SaveLog() {
    if (!logStore)
        return false;
    logQueue->Drain();  // the records that workers have queued belong to this file too
    if (!wxDirExists("log"))
        wxMkdir("log");
    const wxString time = RYL::COleDateTime::GetCurrentTime().Format(L"%Y%m%d_%H%M%S");
    // A second save within the same second gets a name of its own instead of replacing the first.
    const wxString name = KivLogFileName(time);
    if (!logStore->SaveToFile(name.ToStdWstring(), RYL::LOG_LEVEL_ALL))
        return false;
    logStore->Clear();
    return true;
}
