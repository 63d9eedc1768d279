// The Remove tool's worker: deletes the record and the row of one selected device that is
// unplugged or finished. A detached thread without a record slot; it deletes itself at its end.
#pragma once
#include <wx/string.h>
#include <wx/thread.h>

#include <condition_variable>
#include <functional>
#include <mutex>

class KivFrame;

// The main window's removal workers made and not yet deleted: a worker counts itself from its
// construction to its deletion (one that cannot start is deleted at once).
class KivRemovalWorkers {
public:
    void Add();
    void Remove();
    int Running();
    // Returns once none is left.
    void WaitUntilNone();

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    int running_ = 0;
};

class KivThreadRemoveUIDevice : public wxThread {
public:
    KivThreadRemoveUIDevice(KivFrame* frame, const wxString& serial);
    ~KivThreadRemoveUIDevice() override;

    ExitCode Entry() override;

    // Makes the thread and runs it; false when it cannot run, and the caller then deletes the
    // worker.
    bool Start();
    // Tests: stands in for the thread's Run() (null: Run() again).
    static void SetRunForTesting(std::function<wxThreadError(KivThreadRemoveUIDevice&)> run);

    wxString serial;  // the row's "Serial Number" text: its record's listKey

private:
    KivFrame* frame;
};
