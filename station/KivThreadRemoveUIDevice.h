// The Remove tool's worker: deletes the record and the row of one selected device that is
// unplugged or finished. A detached thread without a record slot; it deletes itself at its end.
#pragma once
#include <wx/string.h>
#include <wx/thread.h>

class KivFrame;

class KivThreadRemoveUIDevice : public wxThread {
public:
    KivThreadRemoveUIDevice(KivFrame* frame, const wxString& serial);
    ~KivThreadRemoveUIDevice() override;

    ExitCode Entry() override;

    wxString serial;  // the row's "Serial Number" text: its record's listKey

private:
    KivFrame* frame;
};
