// Shell quoting and command running, through the real /bin/sh.

#include "shell.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace updater {
namespace {

/// The first line of what `command` printed, when it ran and exited 0 and
/// printed anything.
std::optional<std::string> first_output_line(const std::string& command) {
    const CommandResult result = run_shell(command, true);
    if (!succeeded(result) || result.output.empty()) {
        return std::nullopt;
    }
    return result.output.substr(0, result.output.find('\n'));
}

TEST(ShellQuote, PlainWordsStayAsTheyAre) {
    for (const char* word :
         {"/mnt/usb/kestran.fir", "/mnt/imgpart/kestran_current.sqsh", "a-b_c.d+e,f:g@h%i"}) {
        EXPECT_EQ(shell_quote(word), word);
    }
}

TEST(ShellQuote, TheShellReadsBackExactlyTheWord) {
    const char* const words[] = {
        "",     "with space", "it's", "''",  "\"", "$HOME", "${x:-y}", "a;b", "`id`", "$(id)", "\\",
        "a\nb", "*",          "?",    "[a]", "~",  "a|b&c", "#x",      "-n",  "!",    "{a,b}", "\t",
    };
    for (const std::string word : words) {
        const std::optional<std::string> echoed =
            first_output_line("printf '%s|\\n' " + shell_quote(word) + " | tr '\\n' '^'");
        const std::string expected = [&] {
            std::string s = word + "|^";
            for (char& c : s) {
                c = c == '\n' ? '^' : c;
            }
            return s;
        }();
        EXPECT_EQ(echoed, expected) << "word: " << word;
    }
}

struct OutputCase {
    const char* command;
    std::optional<std::string> line;
};

TEST(FirstOutputLine, TakesTheFirstLineOfACommandThatSucceeded) {
    const std::string long_line(5000, 'l');
    const OutputCase cases[] = {
        {"printf 'first\\nsecond\\n'", "first"},
        {"printf 'no newline'", "no newline"},
        {"printf '\\n'", ""},
        {"printf 'x\\n'; exit 1", std::nullopt},
        {"exit 3", std::nullopt},
        {"true", std::nullopt},
        {"kill -9 $$", std::nullopt},
        {"/nonexistent/command", std::nullopt},
        // Far more output than a pipe holds: all of it is read, so the
        // command is not killed by a closed pipe and its success counts.
        {"printf 'head\\n'; head -c 4000000 /dev/zero", "head"},
    };
    for (const OutputCase& c : cases) {
        EXPECT_EQ(first_output_line(c.command), c.line) << c.command;
    }
    EXPECT_EQ(first_output_line("printf '%s\\nrest\\n' " + long_line), long_line);
}

TEST(RunCommand, TrueOnlyForExitStatusZero) {
    EXPECT_TRUE(run_command("true"));
    EXPECT_TRUE(run_command("exit 0"));
    EXPECT_FALSE(run_command("false"));
    EXPECT_FALSE(run_command("exit 255"));
    EXPECT_FALSE(run_command("kill -9 $$"));
    EXPECT_FALSE(run_command("/nonexistent/command 2>/dev/null"));
}

}  // namespace
}  // namespace updater
