// Hands log records from any thread to a CLogStore, which changes only on its own thread.
//
// On the store's thread Hand adds the record before it returns (queued records first). On any
// other thread Hand queues a copy and never waits; the wake-up callback then asks the store's
// thread to call Drain (e.g. by posting a GUI event). Records of one thread reach the store in
// the order in which they were handed over.
#pragma once
#include "LogRecord.h"
#include "LogStore.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace RYL {

class CLogQueue {
public:
    // Made on the store's thread, which becomes the queue's owner.
    explicit CLogQueue(CLogStore& store);
    CLogQueue(const CLogQueue&) = delete;
    CLogQueue& operator=(const CLogQueue&) = delete;

    // Called on the producing thread when the queue stops being empty; it must not wait for the
    // store's thread. Set it before other threads log.
    void SetWakeUp(std::function<void()> wakeUp);

    // The hand-off (wParam as for WM_LOG_RECORD). Returns the store's answer on its own thread,
    // 0 for a queued record and 1 for a null one.
    intptr_t Hand(const tagLogRecord* record, uintptr_t wParam = 0);
    intptr_t Hand(const tagLogRecord& record, uintptr_t wParam = 0) { return Hand(&record, wParam); }

    // On the store's thread: hands every queued record to the store, in queue order; returns
    // their number (0 on any other thread, which must not touch the store).
    size_t Drain();

    bool OnStoreThread() const { return std::this_thread::get_id() == owner_; }
    size_t Pending() const;

private:
    struct Item {
        tagLogRecord record;
        uintptr_t wParam;
    };

    CLogStore& store_;
    const std::thread::id owner_;
    mutable std::mutex lock_;
    std::deque<Item> queue_;
    bool wakePending_ = false;
    std::function<void()> wakeUp_;
};

}  // namespace RYL
