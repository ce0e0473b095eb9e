#include "ui/signal_close.h"

#include <QSocketNotifier>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

#include "ui/ktev_main.h"

namespace {

// [0] is written by the handler, [1] read by the GUI thread.
int signal_fds[2] = {-1, -1};

} // namespace

TSignalClose::TSignalClose(TF_Main* window) : window_(window) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, signal_fds) != 0) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = &TSignalClose::Handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (::sigaction(SIGINT, &action, &old_int_) != 0 ||
        ::sigaction(SIGTERM, &action, &old_term_) != 0) {
        ::sigaction(SIGINT, &old_int_, nullptr);
        ::close(signal_fds[0]);
        ::close(signal_fds[1]);
        signal_fds[0] = signal_fds[1] = -1;
        return;
    }
    notifier_ = new QSocketNotifier(signal_fds[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TSignalClose::Activated);
}

TSignalClose::~TSignalClose() {
    if (notifier_ == nullptr) {
        return;
    }
    ::sigaction(SIGINT, &old_int_, nullptr);
    ::sigaction(SIGTERM, &old_term_, nullptr);
    delete notifier_;
    ::close(signal_fds[0]);
    ::close(signal_fds[1]);
    signal_fds[0] = signal_fds[1] = -1;
}

void TSignalClose::Handler(int) {
    // Only async-signal-safe calls here; a full socket already holds a wake-up.
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t n = ::write(signal_fds[0], &byte, 1);
    errno = saved;
}

void TSignalClose::Activated() {
    char bytes[64];
    while (::read(signal_fds[1], bytes, sizeof bytes) > 0) {
    }
    if (window_) {
        window_->CloseBySignal();
    }
}
