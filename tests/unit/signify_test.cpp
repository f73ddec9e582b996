// Signature checks against fixtures made at test time with the signify tool:
// two key pairs, detached signatures of a digest line, embedded signatures of
// manifests, and signature files spoilt in each of the ways a stick could
// carry them.

#include "signify.hpp"

#include <gtest/gtest.h>
#include <sodium.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "verdict.hpp"

namespace updater {
namespace {

const std::string digest(128, 'a');
const std::string message = digest + "\n";

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

/// Runs `command` through the shell; true when it exited with status 0.
bool run(const std::string& command) { return std::system(command.c_str()) == 0; }

/// Two signify key pairs, "a" and "b", in a fresh directory, and signing.
class Keys {
public:
    Keys() {
        char pattern[] = "/tmp/signify-test.XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return;
        }
        dir_ = pattern;
        ready_ = true;
        for (const char* name : {"a", "b"}) {
            ready_ = run(std::string(UPDATER_SIGNIFY) + " -G -n -p " + dir_ + "/" + name +
                         ".pub -s " + dir_ + "/" + name + ".sec") &&
                     ready_;
        }
    }
    Keys(const Keys&) = delete;
    Keys& operator=(const Keys&) = delete;
    ~Keys() {
        if (!dir_.empty()) {
            run("rm -rf '" + dir_ + "'");
        }
    }
    bool ready() const { return ready_; }
    std::string public_key(const std::string& name) const {
        return read_file(dir_ + "/" + name + ".pub");
    }
    /// The detached signature file signify makes of `text` with secret key
    /// `name`; with `embedded`, the embedded one (-e).
    std::string sign(const std::string& name, const std::string& text,
                     bool embedded = false) const {
        write_file(dir_ + "/message", text);
        if (!run(std::string(UPDATER_SIGNIFY) + " -S " + (embedded ? "-e " : "") + "-s " + dir_ +
                 "/" + name + ".sec -m " + dir_ + "/message -x " + dir_ + "/message.sig")) {
            return "";
        }
        return read_file(dir_ + "/message.sig");
    }

private:
    std::string dir_;
    bool ready_ = false;
};

/// The bytes of a signature file's base64 line.
std::vector<unsigned char> payload(const std::string& file) {
    const std::size_t start = file.find('\n') + 1;
    const std::string line = file.substr(start, file.size() - start - 1);
    std::vector<unsigned char> bytes(line.size());
    std::size_t length = 0;
    sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &length,
                      nullptr, sodium_base64_VARIANT_ORIGINAL);
    bytes.resize(length);
    return bytes;
}

/// `file` with its base64 line made anew from `bytes`.
std::string with_payload(const std::string& file, const std::vector<unsigned char>& bytes) {
    std::string line(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
    sodium_bin2base64(line.data(), line.size(), bytes.data(), bytes.size(),
                      sodium_base64_VARIANT_ORIGINAL);
    line.resize(line.size() - 1);
    return file.substr(0, file.find('\n') + 1) + line + "\n";
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

/// `file` with one byte of its base64 line made 0xC4: a '/' where there is
/// one (a decoder that maps high bytes to '/' would take the file as it was).
std::string with_high_byte(std::string file) {
    const std::size_t start = file.find('\n') + 1;
    const std::size_t slash = file.find('/', start);
    file[slash < file.find('\n', start) ? slash : start + 20] = static_cast<char>(0xc4);
    return file;
}

/// Expects `problem` to be std::nullopt when `expected` is nullptr, and to
/// hold `expected` otherwise.
void expect_problem(const char* name, const std::optional<std::string>& problem,
                    const char* expected) {
    if (expected == nullptr) {
        EXPECT_FALSE(problem.has_value()) << name << ": " << problem.value_or("");
    } else {
        ASSERT_TRUE(problem.has_value()) << name << ": accepted";
        EXPECT_NE(problem->find(expected), std::string::npos) << name << ": " << *problem;
    }
}

TEST(Signify, SignatureFilesAsAStickCouldCarryThem) {
    const Keys keys;
    ASSERT_TRUE(keys.ready()) << "signify could not make keys";
    const std::optional<SignifyPublicKey> a = parse_public_key(keys.public_key("a"));
    const std::optional<SignifyPublicKey> b = parse_public_key(keys.public_key("b"));
    ASSERT_TRUE(a.has_value() && b.has_value());
    const std::string good = keys.sign("a", message);
    const std::string embedded = keys.sign("a", "hello\n", true);
    ASSERT_FALSE(good.empty() || embedded.empty());

    struct Case {
        const char* name;
        std::string file;
        std::vector<SignifyPublicKey> keys;
        const char* problem;            // part of the reason; nullptr: valid
        const char* message = nullptr;  // the embedded message a valid one carries
    };
    std::vector<unsigned char> bytes = payload(good);
    auto changed = [&](const std::function<void(std::vector<unsigned char>&)>& change) {
        std::vector<unsigned char> copy = bytes;
        change(copy);
        return with_payload(good, copy);
    };
    std::vector<unsigned char> by_b = payload(keys.sign("b", message));
    std::copy(bytes.begin() + 2, bytes.begin() + 10, by_b.begin() + 2);
    const std::string base64 = good.substr(good.find('\n') + 1);
    const std::string comment = good.substr(0, good.find('\n') + 1);
    const std::vector<SignifyPublicKey> just_a{*a};
    const Case cases[] = {
        {"valid", good, just_a, nullptr},
        {"re-encoded unchanged", with_payload(good, bytes), just_a, nullptr},
        {"other key", keys.sign("b", message), just_a, "made with key"},
        {"other key, key number of the trusted one", with_payload(good, by_b), just_a,
         "does not verify"},
        {"key number changed", changed([](auto& b) { b[5] ^= 1; }), just_a, "made with key"},
        {"bit flipped in the signature", changed([](auto& b) { b[40] ^= 0x10; }), just_a,
         "does not verify"},
        {"signature of another digest", keys.sign("a", std::string(128, 'b') + "\n"), just_a,
         "does not verify"},
        {"upper-case digest signed", keys.sign("a", upper(digest) + "\n"), just_a,
         "does not verify"},
        {"digest signed without its newline", keys.sign("a", digest), just_a, "does not verify"},
        {"truncated", good.substr(0, good.size() - 20) + "\n", just_a, "not the base64"},
        {"cut before its last newline", good.substr(0, good.size() - 1), just_a, "two lines"},
        {"not base64", comment + std::string(100, '!') + "\n", just_a, "not the base64"},
        {"a high byte in the base64", with_high_byte(good), just_a, "not the base64"},
        {"padding left out", comment + base64.substr(0, base64.size() - 2) + "\n", just_a,
         "not the base64"},
        {"padding in the middle", comment + base64.substr(0, 40) + "=" + base64.substr(41), just_a,
         "not the base64"},
        {"empty", "", just_a, "empty"},
        {"one line", comment, just_a, "two lines"},
        {"a third line: embedded, not signed so", good + "more\n", just_a, "does not verify"},
        {"no comment", base64, just_a, "untrusted comment"},
        {"oversize comment", "untrusted comment: " + std::string(2000, 'x') + "\n" + base64, just_a,
         "untrusted comment"},
        {"a byte too many", changed([](auto& b) { b.push_back(0); }), just_a, "not the base64"},
        {"wrong algorithm bytes", changed([](auto& b) { b[0] = 'X'; }), just_a, "not for Ed25519"},
        {"the public key instead", keys.public_key("a"), just_a, "not the base64"},
        {"several keys, the second", good, {*b, *a}, nullptr},
        {"several keys, the first", keys.sign("b", message), {*b, *a}, nullptr},
        {"several keys, none of them", good, {*b}, "not with the trusted key"},
        {"no keys at all", good, {}, "made with key"},
        {"embedded", embedded, just_a, nullptr, "hello\n"},
        {"embedded, other key", keys.sign("b", "hello\n", true), just_a, "made with key"},
        {"embedded, message changed", embedded.substr(0, embedded.size() - 6) + "jello\n", just_a,
         "does not verify"},
        {"embedded, message cut", embedded.substr(0, embedded.size() - 1), just_a,
         "does not verify"},
        {"embedded, signs the digest line", keys.sign("a", message, true), just_a, nullptr,
         message.c_str()},
        {"embedded, a high byte in the base64", with_high_byte(embedded), just_a, "not the base64"},
    };
    for (const Case& c : cases) {
        const SignatureCheck check = check_signature_file(c.file, message, c.keys);
        expect_problem(c.name, check.problem, c.problem);
        EXPECT_EQ(check.message.value_or("(none)"), c.message ? c.message : "(none)") << c.name;
    }
}

TEST(Signify, VerdictsOnManifests) {
    const Keys keys;
    ASSERT_TRUE(keys.ready()) << "signify could not make keys";
    const std::optional<SignifyPublicKey> a = parse_public_key(keys.public_key("a"));
    ASSERT_TRUE(a.has_value());
    const std::vector<SignifyPublicKey> trusted{*a};
    const std::string manifest = "sha512 " + digest + "\nsize 1234\n";
    struct Case {
        const char* name;
        std::string file;
        std::uint64_t size;
        const char* problem;  // part of the reason; nullptr: installable
        bool manifest;        // the verdict carries the manifest
    };
    const Case cases[] = {
        {"detached", keys.sign("a", message), 1234, nullptr, false},
        {"manifest", keys.sign("a", manifest, true), 1234, nullptr, true},
        {"manifest with version and compatible",
         keys.sign("a", manifest + "version 7\ncompatible board-1.2_x+y\n", true), 1234, nullptr,
         true},
        {"manifest of another size", keys.sign("a", manifest, true), 1235, "1234 bytes, not 1235",
         false},
        {"manifest of another digest",
         keys.sign("a", "sha512 " + std::string(128, 'b') + "\nsize 1234\n", true), 1234,
         "another sha512", false},
        {"manifest of the upper-case digest",
         keys.sign("a", "sha512 " + upper(digest) + "\nsize 1234\n", true), 1234, "no manifest",
         false},
        {"embedded digest line", keys.sign("a", message, true), 1234, "no manifest", false},
        {"manifest with a line more", keys.sign("a", manifest + "flavour mint\n", true), 1234,
         "no manifest", false},
        {"manifest by another key", keys.sign("b", manifest, true), 1234, "made with key", false},
        {"manifest, a high byte in the base64", with_high_byte(keys.sign("a", manifest, true)),
         1234, "not the base64", false},
    };
    for (const Case& c : cases) {
        const Verdict verdict = signature_verdict(c.file, digest, c.size, trusted);
        expect_problem(c.name, verdict.problem, c.problem);
        EXPECT_EQ(verdict.manifest.has_value(), c.manifest) << c.name;
        if (verdict.manifest) {
            EXPECT_EQ(verdict.manifest->digest, digest) << c.name;
            EXPECT_EQ(verdict.manifest->size, 1234u) << c.name;
        }
    }
    const Verdict full =
        signature_verdict(keys.sign("a", manifest + "version 7\ncompatible board-1.2_x+y\n", true),
                          digest, 1234, trusted);
    ASSERT_TRUE(full.manifest.has_value());
    EXPECT_EQ(full.manifest->version, std::optional<std::uint64_t>(7));
    EXPECT_EQ(full.manifest->compatible, std::optional<std::string>("board-1.2_x+y"));
}

TEST(Signify, PublicKeyFiles) {
    const Keys keys;
    ASSERT_TRUE(keys.ready()) << "signify could not make keys";
    const std::string text = keys.public_key("a");
    const std::optional<SignifyPublicKey> key = parse_public_key(text);
    ASSERT_TRUE(key.has_value());
    // The key number is the same in the key file and in its signatures.
    const std::vector<unsigned char> signature = payload(keys.sign("a", message));
    EXPECT_TRUE(std::equal(key->number.begin(), key->number.end(), signature.begin() + 2));
    EXPECT_EQ(key_number_hex(key->number).size(), 16u);
    EXPECT_FALSE(parse_public_key(keys.sign("a", message)).has_value());
    EXPECT_FALSE(parse_public_key(text.substr(0, text.size() - 1)).has_value());
    EXPECT_FALSE(parse_public_key(text + "more\n").has_value());
    EXPECT_FALSE(parse_public_key(with_high_byte(text)).has_value());
    EXPECT_FALSE(parse_public_key("").has_value());
}

}  // namespace
}  // namespace updater
