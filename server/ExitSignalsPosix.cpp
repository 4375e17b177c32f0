#include "server/ExitSignals.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <system_error>

namespace {

sigset_t exitSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

const char* nameOf(int signal) {
    return signal == SIGTERM ? "SIGTERM" : signal == SIGINT ? "SIGINT" : "SIGHUP";
}

}  // namespace

ExitSignals::ExitSignals(std::function<void(const char* name)> onSignal) {
    // A reader that went away (the log piped into `head`, a closed terminal)
    // is no way out: a write to it fails with EPIPE and the bridge goes on.
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR) throw std::system_error(errno, std::generic_category(), "SIGPIPE");
    const sigset_t set = exitSignals();
    const int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (rc != 0) throw std::system_error(rc, std::generic_category(), "pthread_sigmask");
    waiter_ = std::thread([this, set, onSignal = std::move(onSignal)] {
        for (;;) {
            int signal = 0;
            if (sigwait(&set, &signal) != 0) continue;
            if (stopping_) return;
            onSignal(nameOf(signal));
        }
    });
}

ExitSignals::~ExitSignals() {
    stopping_ = true;
    pthread_kill(waiter_.native_handle(), SIGHUP);
    waiter_.join();
}
