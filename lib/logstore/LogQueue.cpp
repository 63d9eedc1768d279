#include "LogQueue.h"

#include <utility>

namespace RYL {

CLogQueue::CLogQueue(CLogStore& store) : store_(store), owner_(std::this_thread::get_id()) {}

void CLogQueue::SetWakeUp(std::function<void()> wakeUp) {
    std::lock_guard<std::mutex> guard(lock_);
    wakeUp_ = std::move(wakeUp);
}

intptr_t CLogQueue::Hand(const tagLogRecord* record, uintptr_t wParam) {
    if (!record) return 1;
    if (OnStoreThread()) {
        Drain();
        return store_.OnLogRecord(wParam, record);
    }
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> guard(lock_);
        queue_.push_back(Item{*record, wParam});
        if (!wakePending_ && wakeUp_) {
            wakePending_ = true;
            wake = wakeUp_;
        }
    }
    if (wake) wake();
    return 0;
}

size_t CLogQueue::Drain() {
    if (!OnStoreThread()) return 0;
    std::deque<Item> items;
    {
        std::lock_guard<std::mutex> guard(lock_);
        items.swap(queue_);
        wakePending_ = false;
    }
    for (const Item& item : items) store_.OnLogRecord(item.wParam, &item.record);
    return items.size();
}

size_t CLogQueue::Pending() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size();
}

}  // namespace RYL
