#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>

#include <cerrno>

#include "descriptor.hpp"

namespace updater {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    return set;
}

void prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // The lowest free descriptor is `fd` itself; it stays open for good.
            ::open("/dev/null", O_RDWR);
        }
    }
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    action.sa_handler = SIG_DFL;
    ::sigaction(SIGCHLD, &action, nullptr);
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &action, nullptr);
    const sigset_t stops = stop_signals();
    ::sigprocmask(SIG_BLOCK, &stops, nullptr);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
}

int stop_requested() {
    sigset_t pending;
    if (::sigpending(&pending) != 0) {
        return 0;
    }
    for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
        if (sigismember(&pending, signal) == 1) {
            return signal;
        }
    }
    return 0;
}

int wait_for_stop(int milliseconds) {
    const sigset_t stops = stop_signals();
    const FileDescriptor fd(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
    pollfd wait = {fd.get(), POLLIN, 0};  // without the descriptor, a plain sleep
    ::poll(&wait, fd.valid() ? 1 : 0, milliseconds);
    return stop_requested();
}

}  // namespace updater
