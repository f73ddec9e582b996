#include "shell.hpp"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>

namespace updater {
namespace {

/// Owns a stream from popen: closes it (and waits for its command) once,
/// either through close() or when it goes out of scope.
class Pipe {
public:
    explicit Pipe(FILE* stream) : stream_(stream) {}
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    ~Pipe() {
        if (stream_ != nullptr) {
            pclose(stream_);
        }
    }

    /// The stream, or nullptr when popen failed.
    FILE* get() const { return stream_; }

    /// Closes the stream and returns the command's wait status (-1 on error).
    int close() {
        const int status = pclose(stream_);
        stream_ = nullptr;
        return status;
    }

private:
    FILE* stream_;
};

/// True when `c` needs no quoting anywhere in a shell word.
bool is_plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '/' ||
           c == '.' || c == '_' || c == '-' || c == '+' || c == ',' || c == ':' || c == '@' ||
           c == '%';
}

/// True when a wait status says the command exited normally with status 0.
bool exited_cleanly(int status) {
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
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

bool run_command(const char* command) { return exited_cleanly(std::system(command)); }

std::optional<std::string> first_output_line(const std::string& command) {
    Pipe pipe(popen(command.c_str(), "r"));
    if (pipe.get() == nullptr) {
        return std::nullopt;
    }
    std::string line;
    bool line_complete = false;
    bool printed = false;
    char chunk[256];
    // Read to the end, so that the command never meets a closed pipe.
    while (std::fgets(chunk, sizeof chunk, pipe.get()) != nullptr) {
        printed = true;
        if (line_complete) {
            continue;
        }
        line += chunk;
        if (!line.empty() && line.back() == '\n') {
            line.pop_back();
            line_complete = true;
        }
    }
    if (!exited_cleanly(pipe.close()) || !printed) {
        return std::nullopt;
    }
    return line;
}

}  // namespace updater
