// The digest operation against real files and the real /bin/sha512sum.

#include "digest.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace updater {
namespace {

// SHA-512 of the three bytes "abc" (FIPS 180-2, appendix C.1).
const std::string abc_digest =
    "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
    "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f";

/// A fresh directory under /tmp, removed with everything in it afterwards.
class DigestTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/digest-test.XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        const std::string command = "rm -rf '" + dir_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    std::string write(const std::string& name, const std::string& contents) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }
    std::string dir_;
};

TEST_F(DigestTest, ReadableFileGivesExactlyTheDigest) {
    const std::optional<std::string> digest = _get_shasum(write("image", "abc"));
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(digest->size(), digest_length);
    EXPECT_EQ(*digest, abc_digest);
}

TEST_F(DigestTest, SameContentsUnderOtherNamesCompareEqual) {
    const std::string contents(100000, 'x');
    const std::optional<std::string> a = _get_shasum(write("a.fir", contents));
    const std::optional<std::string> b = _get_shasum(write("kestran_current.sqsh", contents));
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a, b);
}

TEST_F(DigestTest, ResultsAreIndependentValues) {
    const std::optional<std::string> first = _get_shasum(write("one", "abc"));
    const std::optional<std::string> second = _get_shasum(write("two", "abd"));
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    EXPECT_NE(*first, *second);
    EXPECT_EQ(*first, abc_digest);  // the second call left the first result alone
}

TEST_F(DigestTest, NoDigestWithoutAReadableFile) {
    ASSERT_EQ(mkdir((dir_ + "/directory").c_str(), 0755), 0);
    const std::string unreadable = write("unreadable", "abc");
    ASSERT_EQ(chmod(unreadable.c_str(), 0), 0);
    const bool root = geteuid() == 0;  // root reads it all the same

    EXPECT_EQ(_get_shasum(dir_ + "/missing"), std::nullopt);
    EXPECT_EQ(_get_shasum(dir_ + "/directory"), std::nullopt);
    EXPECT_EQ(_get_shasum(""), std::nullopt);
    EXPECT_EQ(_get_shasum(std::string(write("nul", "abc") + std::string(1, '\0') + "x")),
              std::nullopt);
    if (!root) {
        EXPECT_EQ(_get_shasum(unreadable), std::nullopt);
    }
}

TEST_F(DigestTest, NoDigestAndNoCommandForWhatIsNotANonEmptyRegularFile) {
    // The checksum command would wait for ever on the FIFO and the devices:
    // a call that started it would not return (the test's timeout catches it).
    const std::string fifo = dir_ + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    const std::string socket_path = dir_ + "/socket";
    const int socket_fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    socket_path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(socket_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(symlink("/dev/zero", (dir_ + "/to-zero").c_str()), 0);
    ASSERT_EQ(symlink("fifo", (dir_ + "/to-fifo").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (dir_ + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink("loop-b", (dir_ + "/loop-a").c_str()), 0);
    ASSERT_EQ(symlink("loop-a", (dir_ + "/loop-b").c_str()), 0);
    write("empty", "");

    for (const std::string name :
         {"fifo", "socket", "to-zero", "to-fifo", "dangling", "loop-a", "empty"}) {
        EXPECT_EQ(_get_shasum(dir_ + "/" + name), std::nullopt) << name;
    }
    EXPECT_EQ(_get_shasum("/dev/zero"), std::nullopt);
    EXPECT_EQ(_get_shasum("/dev/null"), std::nullopt);
    close(socket_fd);

    // A link to a regular file is followed.
    write("image", "abc");
    ASSERT_EQ(symlink("image", (dir_ + "/to-image").c_str()), 0);
    EXPECT_EQ(_get_shasum(dir_ + "/to-image"), abc_digest);
}

TEST_F(DigestTest, AwkwardPathsNameExactlyThatFile) {
    // Decoys that a path split or expanded by the shell would reach instead.
    write("a", "decoy");
    write("b", "decoy");
    const char* const names[] = {
        "with space",  "it's",      "\"quoted\"", "$HOME",         "a;touch pwned",  "a b",
        "back\\slash", "new\nline", "*",          "`touch pwned`", "$(touch pwned)", "a|b",
        "-rf",         "--",        "~",          "a&&b",          "{a,b}",          "tab\there",
    };
    ASSERT_EQ(chdir(dir_.c_str()), 0);
    for (const char* name : names) {
        SCOPED_TRACE(name);
        const std::string path = write(name, "abc");
        EXPECT_EQ(_get_shasum(path), abc_digest);
        EXPECT_EQ(_get_shasum(name), abc_digest);  // relative, as given
    }
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_NE(access((dir_ + "/pwned").c_str(), F_OK), 0);
    EXPECT_NE(access("/pwned", F_OK), 0);
}

TEST_F(DigestTest, LongestPathOfTheFixedBufferAndLongerAlike) {
    std::string path = dir_ + "/";
    path += std::string(112 - path.size(), 'p');
    ASSERT_EQ(path.size(), 112u);
    std::ofstream(path) << "abc";
    EXPECT_EQ(_get_shasum(path), abc_digest);

    const std::string longer = write(std::string(200, 'q'), "abc");
    EXPECT_EQ(_get_shasum(longer), abc_digest);
}

struct LineCase {
    const char* label;
    std::string line;
    std::optional<std::string> digest;
};

TEST(ParseDigestLine, AcceptsOnlyADigestFollowedByASpace) {
    const std::string hex(128, 'a');
    const LineCase cases[] = {
        {"digest and name", hex + "  /mnt/usb/kestran.fir", hex},
        {"binary-mode marker", hex + " */mnt/usb/kestran.fir", hex},
        {"escaped name", "\\" + hex + "  /tmp/new\\nline", hex},
        {"upper case", std::string(128, 'F') + "  x", std::string(128, 'F')},
        {"digest alone", hex, std::nullopt},
        {"127 digits", std::string(127, 'a') + "  x", std::nullopt},
        {"129 digits", std::string(129, 'a') + "  x", std::nullopt},
        {"not hexadecimal", std::string(127, 'a') + "g  x", std::nullopt},
        {"tab after digest", hex + "\tx", std::nullopt},
        {"empty", "", std::nullopt},
        {"error text", "sha512sum: /mnt/usb/kestran.fir: No such file or directory", std::nullopt},
        {"two backslashes", "\\\\" + hex + "  x", std::nullopt},
    };
    for (const LineCase& c : cases) {
        EXPECT_EQ(parse_digest_line(c.line), c.digest) << c.label;
    }
}

}  // namespace
}  // namespace updater
