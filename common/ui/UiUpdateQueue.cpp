#include "common/ui/UiUpdateQueue.h"

#include <FL/Fl.H>

#include <algorithm>
#include <set>
#include <utility>

namespace {
// The queues that exist, so that a wake-up left in FLTK's ring after its
// queue was destroyed is recognised and ignored. Event thread only.
std::set<const void*>& liveQueues()
{
    static std::set<const void*> queues;
    return queues;
}
}  // namespace

UiUpdateQueue::UiUpdateQueue() : eventThread_(std::this_thread::get_id())
{
    liveQueues().insert(this);
    Fl::add_check(check, this);
}

UiUpdateQueue::~UiUpdateQueue()
{
    Fl::remove_check(check, this);
    liveQueues().erase(this);
}

void UiUpdateQueue::post(Update update) { enqueue(nullptr, std::move(update)); }

void UiUpdateQueue::post(const void* field, Update update) { enqueue(field, std::move(update)); }

std::size_t UiUpdateQueue::pendingCount() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_.size();
}

void UiUpdateQueue::enqueue(const void* field, Update update)
{
    if (onEventThread()) {
        drain();
        update();
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (field != nullptr) {
        // Moved to the end rather than replaced in place: the new text must
        // not land before updates that were posted ahead of it.
        const auto queued = queuedFields_.find(field);
        if (queued != queuedFields_.end()) pending_.erase(queued->second);
        queuedFields_[field] = pending_.insert(pending_.end(), std::move(update));
    } else {
        pending_.push_back(std::move(update));
    }
    if (std::find(holders_.begin(), holders_.end(), std::this_thread::get_id()) != holders_.end()) return;
    wakeLocked();
}

void UiUpdateQueue::hold()
{
    if (onEventThread()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::thread::id self = std::this_thread::get_id();
    if (std::find(holders_.begin(), holders_.end(), self) == holders_.end()) holders_.push_back(self);
}

void UiUpdateQueue::resume()
{
    if (onEventThread()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto held = std::find(holders_.begin(), holders_.end(), std::this_thread::get_id());
    if (held == holders_.end()) return;
    holders_.erase(held);
    if (!pending_.empty()) wakeLocked();
}

void UiUpdateQueue::wakeLocked()
{
    if (wakePending_) return;
    // 0: the wake-up is in the ring. -1: the ring is full, so the event
    // thread wakes anyway and its check drains the queue; the next post
    // tries the ring again.
    wakePending_ = Fl::awake(wake, this) == 0;
}

void UiUpdateQueue::drain()
{
    std::list<Update> batch;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        batch.swap(pending_);
        queuedFields_.clear();
        wakePending_ = false;
    }
    for (Update& update : batch) update();
}

void UiUpdateQueue::wake(void* queue) { drainIfAlive(queue); }

void UiUpdateQueue::check(void* queue) { drainIfAlive(queue); }

void UiUpdateQueue::drainIfAlive(void* queue)
{
    if (liveQueues().count(queue)) static_cast<UiUpdateQueue*>(queue)->drain();
}
