// Signature checks against fixtures made at test time with the signify tool:
// two key pairs, signatures of a digest line, and signature files spoilt in
// each of the ways a stick could carry them.

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
    /// The signature file signify makes of `text` with secret key `name`.
    std::string sign(const std::string& name, const std::string& text) const {
        write_file(dir_ + "/message", text);
        if (!run(std::string(UPDATER_SIGNIFY) + " -S -s " + dir_ + "/" + name + ".sec -m " + dir_ +
                 "/message -x " + dir_ + "/message.sig")) {
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

TEST(Signify, SignatureFilesAsAStickCouldCarryThem) {
    const Keys keys;
    ASSERT_TRUE(keys.ready()) << "signify could not make keys";
    const std::optional<SignifyPublicKey> key = parse_public_key(keys.public_key("a"));
    ASSERT_TRUE(key.has_value());
    const std::string good = keys.sign("a", message);
    ASSERT_FALSE(good.empty());

    struct Case {
        const char* name;
        std::string file;
        const char* problem;  // part of the reason; nullptr: valid
    };
    std::vector<unsigned char> bytes = payload(good);
    auto changed = [&](const std::function<void(std::vector<unsigned char>&)>& change) {
        std::vector<unsigned char> copy = bytes;
        change(copy);
        return with_payload(good, copy);
    };
    std::vector<unsigned char> by_b = payload(keys.sign("b", message));
    std::copy(bytes.begin() + 2, bytes.begin() + 10, by_b.begin() + 2);
    const Case cases[] = {
        {"valid", good, nullptr},
        {"re-encoded unchanged", with_payload(good, bytes), nullptr},
        {"other key", keys.sign("b", message), "made with key"},
        {"other key, key number of the trusted one", with_payload(good, by_b), "does not verify"},
        {"key number changed", changed([](auto& b) { b[5] ^= 1; }), "made with key"},
        {"bit flipped in the signature", changed([](auto& b) { b[40] ^= 0x10; }),
         "does not verify"},
        {"signature of another digest", keys.sign("a", std::string(128, 'b') + "\n"),
         "does not verify"},
        {"upper-case digest signed", keys.sign("a", upper(digest) + "\n"), "does not verify"},
        {"digest signed without its newline", keys.sign("a", digest), "does not verify"},
        {"truncated", good.substr(0, good.size() - 20) + "\n", "not the base64"},
        {"cut before its last newline", good.substr(0, good.size() - 1), "two lines"},
        {"not base64", good.substr(0, good.find('\n') + 1) + std::string(100, '!') + "\n",
         "not the base64"},
        {"empty", "", "empty"},
        {"one line", good.substr(0, good.find('\n') + 1), "two lines"},
        {"a third line", good + "more\n", "two lines"},
        {"no comment", good.substr(good.find('\n') + 1), "untrusted comment"},
        {"oversize comment",
         "untrusted comment: " + std::string(2000, 'x') + "\n" + good.substr(good.find('\n') + 1),
         "untrusted comment"},
        {"a byte too many", changed([](auto& b) { b.push_back(0); }), "not the base64"},
        {"wrong algorithm bytes", changed([](auto& b) { b[0] = 'X'; }), "not for Ed25519"},
        {"the public key instead", keys.public_key("a"), "not the base64"},
    };
    for (const Case& c : cases) {
        const std::optional<std::string> problem = signature_problem(c.file, message, *key);
        if (c.problem == nullptr) {
            EXPECT_FALSE(problem.has_value()) << c.name << ": " << problem.value_or("");
        } else {
            ASSERT_TRUE(problem.has_value()) << c.name << ": accepted";
            EXPECT_NE(problem->find(c.problem), std::string::npos) << c.name << ": " << *problem;
        }
    }
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
    EXPECT_FALSE(parse_public_key("").has_value());
}

}  // namespace
}  // namespace updater
