#include "KivApp.h"

#include "KivFrame.h"

KivApp& wxGetApp() { return *static_cast<KivApp*>(wxApp::GetInstance()); }

KivApp* KivApp::Get() { return dynamic_cast<KivApp*>(wxApp::GetInstance()); }

KivApp::KivApp() : logStore(nullptr), internetAgent(nullptr), frame(nullptr) {}

KivApp::~KivApp() {}

bool KivApp::OnInit() {
    if (!wxApp::OnInit())
        return false;
    const wxString title = wxString::Format("%s v%s %s %s", "Zelk Flash Tool", "1.0.0.24", "", "");
    frame = new KivFrame(title);
    return true;
}

void KivApp::Log(const wxString&, uint32_t, int32_t, const wchar_t*) {}

bool KivApp::SaveLog() { return false; }
