#include "shell.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "console.hpp"
#include "descriptor.hpp"
#include "process.hpp"

extern char** environ;

namespace updater {
namespace {

/// True when `c` needs no quoting anywhere in a shell word.
bool is_plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '@' ||
           c == '%';
}

/// Blocks SIGCHLD while it lives, so that a signalfd receives it; restores
/// the mask it found.
class ChildSignalBlock {
public:
    ChildSignalBlock() {
        sigset_t child;
        sigemptyset(&child);
        sigaddset(&child, SIGCHLD);
        ::sigprocmask(SIG_BLOCK, &child, &saved_);
    }
    ChildSignalBlock(const ChildSignalBlock&) = delete;
    ChildSignalBlock& operator=(const ChildSignalBlock&) = delete;
    ~ChildSignalBlock() { ::sigprocmask(SIG_SETMASK, &saved_, nullptr); }

private:
    sigset_t saved_;
};

/// The attributes and file actions of one spawn, destroyed with it.
class SpawnSetup {
public:
    SpawnSetup() {
        ::posix_spawn_file_actions_init(&actions_);
        ::posix_spawnattr_init(&attributes_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;
    ~SpawnSetup() {
        ::posix_spawnattr_destroy(&attributes_);
        ::posix_spawn_file_actions_destroy(&actions_);
    }
    posix_spawn_file_actions_t* actions() { return &actions_; }
    posix_spawnattr_t* attributes() { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

/// Kills the process group `group`, waits for every child in it, and then,
/// for at most five seconds, for the group to be gone: members that are not
/// the tool's children (where it could not become a subreaper) are reaped
/// by someone else. A member stuck in the kernel (a hung device) holds it
/// until the kernel lets go: nothing it started may write after the tool.
void kill_and_reap(pid_t group) {
    ::kill(-group, SIGKILL);
    while (::waitpid(-group, nullptr, 0) > 0 || errno == EINTR) {
    }
    for (int tick = 0; tick < 500 && ::kill(-group, 0) == 0; ++tick) {
        ::poll(nullptr, 0, 10);
    }
}

/// Waits, without blocking, for children left in `group` after its shell.
void reap_leftovers(pid_t group) {
    while (::waitpid(-group, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace

std::string shell_quote(std::string_view word) {
    bool plain = !word.empty();
    for (const char c : word) {
        plain = plain && is_plain(c);
    }
    if (plain) {
        return std::string(word);
    }
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

CommandResult run_shell(const std::string& command, bool capture_output) {
    CommandResult result;
    if (stop_requested() != 0) {
        result.stopped = true;
        return result;
    }
    const ChildSignalBlock block;
    sigset_t child_signal;
    sigemptyset(&child_signal);
    sigaddset(&child_signal, SIGCHLD);
    const sigset_t stops = stop_signals();
    const FileDescriptor children(::signalfd(-1, &child_signal, SFD_CLOEXEC | SFD_NONBLOCK));
    const FileDescriptor stop(::signalfd(-1, &stops, SFD_CLOEXEC | SFD_NONBLOCK));
    FileDescriptor output_read;
    FileDescriptor output_write;
    if (!children.valid() || !stop.valid()) {
        warn_error("cannot watch the command '" + command + "'", errno);
        return result;
    }

    SpawnSetup setup;
    if (capture_output) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            warn_error("cannot make a pipe for '" + command + "'", errno);
            return result;
        }
        output_read.reset(ends[0]);
        output_write.reset(ends[1]);
        ::posix_spawn_file_actions_adddup2(setup.actions(), output_write.get(), STDOUT_FILENO);
    }
    sigset_t none;
    sigemptyset(&none);
    const sigset_t defaults = command_default_signals();
    ::posix_spawnattr_setflags(
        setup.attributes(), POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ::posix_spawnattr_setpgroup(setup.attributes(), 0);
    ::posix_spawnattr_setsigmask(setup.attributes(), &none);
    ::posix_spawnattr_setsigdefault(setup.attributes(), &defaults);

    char shell[] = "sh";
    char dash_c[] = "-c";
    std::string text = command;
    char* const argv[] = {shell, dash_c, text.data(), nullptr};
    pid_t pid = -1;
    const int error =
        ::posix_spawn(&pid, "/bin/sh", setup.actions(), setup.attributes(), argv, environ);
    if (error != 0) {
        warn_error("cannot start /bin/sh for '" + command + "'", error);
        return result;
    }
    result.started = true;
    output_write.reset();

    bool running = true;
    while (running || output_read.valid()) {
        pollfd events[3] = {
            {stop.get(), POLLIN, 0}, {children.get(), POLLIN, 0}, {output_read.get(), POLLIN, 0}};
        if (::poll(events, output_read.valid() ? 3 : 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            // Cannot watch it: wait for it plainly, its output given up.
            output_read.reset();
            int status = 0;
            pid_t waited;
            while ((waited = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
            }
            result.wait_status = waited == pid ? status : -1;
            break;
        }
        if (events[0].revents & POLLIN) {
            kill_and_reap(pid);
            result.stopped = true;
            result.wait_status = -1;
            return result;
        }
        if (output_read.valid() && (events[2].revents & (POLLIN | POLLHUP | POLLERR))) {
            char chunk[4096];
            const ssize_t got = ::read(output_read.get(), chunk, sizeof chunk);
            if (got > 0) {
                result.output.append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                output_read.reset();
            }
        }
        signalfd_siginfo info;
        while (::read(children.get(), &info, sizeof info) > 0) {
        }
        if (running) {
            int status = 0;
            const pid_t waited = ::waitpid(pid, &status, WNOHANG);
            if (waited == pid || (waited < 0 && errno != EINTR)) {
                running = false;
                result.wait_status = waited == pid ? status : -1;
            }
        }
    }
    reap_leftovers(pid);
    if (result.wait_status != -1 && WIFSIGNALED(result.wait_status)) {
        warn("'" + command + "' was killed by " + ::strsignal(WTERMSIG(result.wait_status)));
    }
    return result;
}

bool succeeded(const CommandResult& result) {
    return result.started && !result.stopped && result.wait_status != -1 &&
           WIFEXITED(result.wait_status) && WEXITSTATUS(result.wait_status) == 0;
}

bool run_command(const char* command) { return succeeded(run_shell(command, false)); }

}  // namespace updater
