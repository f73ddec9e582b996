#include "digest.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <new>

#include "console.hpp"
#include "constants.hpp"
#include "shell.hpp"

namespace updater {
namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

/// The operand that names exactly `path` to the checksum command: a relative
/// path that looks like an option is given a leading "./".
std::string checksum_operand(std::string_view path) {
    std::string operand = path.front() == '-' ? "./" : "";
    operand += path;
    return shell_quote(operand);
}

/// True when `path` is a non-empty regular file once links are followed;
/// otherwise says why on standard error.
bool is_digestible(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) {
        warn_error("cannot read " + path, errno);
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        warn(path + " is not a regular file");
        return false;
    }
    if (status.st_size == 0) {
        warn(path + " is empty");
        return false;
    }
    return true;
}

}  // namespace

std::optional<std::string> parse_digest_line(std::string_view line) {
    if (!line.empty() && line.front() == '\\') {
        line.remove_prefix(1);
    }
    if (line.size() <= digest_length || line[digest_length] != ' ') {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < digest_length; ++i) {
        if (!is_hex_digit(line[i])) {
            return std::nullopt;
        }
    }
    return std::string(line.substr(0, digest_length));
}

std::optional<std::string> _get_shasum(std::string_view path) {
    if (path.empty() || path.find('\0') != std::string_view::npos) {
        return std::nullopt;
    }
    try {
        const std::string file(path);
        if (!is_digestible(file)) {
            return std::nullopt;
        }
        const CommandResult run = run_shell(checksum_command + checksum_operand(path), true);
        if (!succeeded(run)) {
            return std::nullopt;  // the command or run_shell has said why
        }
        std::optional<std::string> digest =
            parse_digest_line(std::string_view(run.output).substr(0, run.output.find('\n')));
        if (!digest) {
            warn(std::string(checksum_command) + "printed no digest for " + file);
        }
        return digest;
    } catch (const std::bad_alloc&) {
        warn("out of memory taking the digest of " + std::string(path));
        return std::nullopt;
    }
}

}  // namespace updater
