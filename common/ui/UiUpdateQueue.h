#pragma once
// Window updates from any thread, applied by the FLTK event thread in the
// order they were posted.
//
// A worker thread never touches a widget and never waits for the FLTK lock
// (it may hold a lock the event thread is waiting for). Its updates go into
// this queue, and one Fl::awake() call wakes the event thread, which swaps
// the queue out and applies every update in order. FLTK's own wake-up ring
// holds 1024 entries and drops the rest silently, so it carries only the
// wake-up, never the updates: a wake-up is posted only when none is pending.
// When the ring is full the event thread is about to wake anyway, and a check
// it runs on every pass of its loop drains the queue then.
//
// Most updates replace the whole text of one field. While such an update is
// still queued, a newer one for the same field takes its place (at the end,
// where it was posted), so a busy event thread holds at most one update per
// field however fast workers post, and every field still ends with the text
// it would have had if each update had been applied.
//
// The event thread is the thread that constructs the queue. A post from it
// applies at once, after what is already queued, so order holds across
// threads. Posting must stop before the queue is destroyed (on the event
// thread); a wake-up still in FLTK's ring then finds the queue gone and does
// nothing.
#include <cstddef>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

class UiUpdateQueue {
public:
    using Update = std::function<void()>;

    UiUpdateQueue();
    ~UiUpdateQueue();
    UiUpdateQueue(const UiUpdateQueue&) = delete;
    UiUpdateQueue& operator=(const UiUpdateQueue&) = delete;

    // Any thread.
    void post(Update update);
    // Any thread: an update that replaces the whole text of field, and so
    // makes any update for field still queued pointless.
    void post(const void* field, Update update);

    // A thread other than the event thread: while it holds, its posts are
    // queued without waking the event thread, and resume() wakes it once for
    // all of them; order is kept either way. Threads hold across steps whose
    // timing others see (a command on its way to a device, an answer on its
    // way to a client): on a machine with few processors, waking the event
    // thread and the redraw that follows can push such a step back by a
    // scheduling slice. Holding twice needs one resume(); on the event
    // thread both do nothing.
    void hold();
    void resume();

    // Event thread: applies every queued update now, in order.
    void drain();

    bool onEventThread() const { return std::this_thread::get_id() == eventThread_; }

    // Any thread: how many updates wait for the event thread.
    std::size_t pendingCount() const;

private:
    // FLTK callbacks; they drain the queue only while it still exists.
    static void wake(void* queue);
    static void check(void* queue);
    static void drainIfAlive(void* queue);
    // Queues an update (field may be null) and wakes the event thread
    // unless the posting thread holds.
    void enqueue(const void* field, Update update);
    // Wakes the event thread unless a wake-up is on its way. mutex_ held.
    void wakeLocked();

    const std::thread::id eventThread_;
    mutable std::mutex mutex_;
    std::list<Update> pending_;
    // The queued update of each field that has one.
    std::unordered_map<const void*, std::list<Update>::iterator> queuedFields_;
    bool wakePending_ = false;
    std::vector<std::thread::id> holders_;  // threads holding their wake-ups
};
