#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>

#include <cerrno>

#include "descriptor.hpp"

namespace updater {
namespace {

constexpr int stop_signal_list[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

/// True when `signal` is ignored now.
bool is_ignored(int signal) {
    struct sigaction current = {};
    return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

/// Sets the action of `signal` to `handler`.
void set_action(int signal, void (*handler)(int)) {
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = handler;
    ::sigaction(signal, &action, nullptr);
}

}  // namespace

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : stop_signal_list) {
        sigaddset(&set, signal);
    }
    return set;
}

void prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is `fd` itself; it stays open for
            // good. Without /dev/null, a read-only directory holds the place.
            if (::open("/dev/null", O_RDWR) < 0) {
                ::open("/", O_RDONLY | O_DIRECTORY);
            }
        }
    }
    set_action(SIGCHLD, SIG_DFL);
    set_action(SIGPIPE, SIG_IGN);
    set_action(SIGTTOU, SIG_IGN);
    set_action(SIGTTIN, SIG_IGN);
    sigset_t stops;
    sigemptyset(&stops);
    for (const int signal : stop_signal_list) {
        if (!is_ignored(signal)) {
            sigaddset(&stops, signal);
        }
    }
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);  // may be refused; see run_shell
}

sigset_t command_default_signals() {
    sigset_t set;
    sigfillset(&set);
    sigdelset(&set, SIGTTOU);
    sigdelset(&set, SIGTTIN);
    for (const int signal : stop_signal_list) {
        if (is_ignored(signal)) {
            sigdelset(&set, signal);
        }
    }
    return set;
}

int stop_requested() {
    sigset_t pending;
    if (::sigpending(&pending) != 0) {
        return 0;
    }
    for (const int signal : stop_signal_list) {
        if (sigismember(&pending, signal) == 1) {
            return signal;
        }
    }
    return 0;
}

const char* stop_signal_name(int signal) {
    switch (signal) {
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGINT:
            return "SIGINT";
        case SIGQUIT:
            return "SIGQUIT";
        default:
            return "a signal";
    }
}

int wait_for_stop(int milliseconds) {
    const sigset_t stops = stop_signals();
    const FileDescriptor fd(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
    pollfd wait = {fd.get(), POLLIN, 0};  // without the descriptor, a plain sleep
    ::poll(&wait, fd.valid() ? 1 : 0, milliseconds);
    return stop_requested();
}

bool writable_unless_stopped(int fd) {
    const sigset_t stops = stop_signals();
    const FileDescriptor stop(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
    pollfd events[2] = {{fd, POLLOUT, 0}, {stop.get(), POLLIN, 0}};
    while (::poll(events, stop.valid() ? 2 : 1, -1) < 0) {
        if (errno != EINTR) {
            return true;  // cannot tell: write as before
        }
    }
    return events[0].revents != 0 || stop_requested() == 0;
}

}  // namespace updater
