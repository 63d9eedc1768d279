// The Remove tool's worker: deletes the record and the row of one selected device that is
// unplugged or finished. A detached thread without a record slot; it deletes itself at its end.
#pragma once
#include <wx/string.h>
#include <wx/thread.h>

#include <functional>

class KivFrame;

class KivThreadRemoveUIDevice : public wxThread {
public:
    KivThreadRemoveUIDevice(KivFrame* frame, const wxString& serial);
    ~KivThreadRemoveUIDevice() override;

    ExitCode Entry() override;

    // Makes the thread and runs it; false when it cannot run, and the caller then deletes the
    // worker.
    bool Start();
    // Workers made and not yet deleted; the main window's destructor waits until none is left.
    static int Running();
    // Tests: stands in for the thread's Run() (null: Run() again).
    static void SetRunForTesting(std::function<wxThreadError(KivThreadRemoveUIDevice&)> run);

    wxString serial;  // the row's "Serial Number" text: its record's listKey

private:
    KivFrame* frame;
};
