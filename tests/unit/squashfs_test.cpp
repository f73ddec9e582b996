// The squashfs superblock check, on superblocks made here field by field.
#include "squashfs.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace updater {
namespace {

void put(std::string& bytes, std::size_t offset, std::size_t width, std::uint64_t value) {
    for (std::size_t i = 0; i < width; ++i) {
        bytes[offset + i] = static_cast<char>((value >> (8 * i)) & 0xff);
    }
}

/// The superblock of a 1 MiB squashfs 4.0 image with 128 KiB blocks, gzip,
/// and every table within it.
std::string superblock() {
    std::string bytes(squashfs_superblock_size, '\0');
    bytes.replace(0, 4, "hsqs");
    put(bytes, 4, 4, 3);         // inodes
    put(bytes, 12, 4, 131072);   // block size
    put(bytes, 20, 2, 1);        // gzip
    put(bytes, 22, 2, 17);       // block log
    put(bytes, 26, 2, 1);        // ids
    put(bytes, 28, 2, 4);        // major
    put(bytes, 30, 2, 0);        // minor
    put(bytes, 40, 8, 1048000);  // bytes used
    put(bytes, 48, 8, 1047900);  // id table
    put(bytes, 56, 8, ~0ull);    // no xattrs
    put(bytes, 64, 8, 1000000);  // inode table
    put(bytes, 72, 8, 1040000);  // directory table
    put(bytes, 80, 8, 1047800);  // fragment table
    put(bytes, 88, 8, 1047850);  // export table
    return bytes;
}

struct Row {
    const char* name;
    std::size_t offset;
    std::size_t width;
    std::uint64_t value;
    std::uint64_t file_size;
    const char* problem;  ///< a phrase the problem holds; nullptr for none
};

/// Checks that `problem` is what `row` wants: none, or one holding its phrase.
void expect_problem(const std::optional<std::string>& problem, const Row& row) {
    if (row.problem == nullptr) {
        EXPECT_EQ(problem, std::nullopt) << row.name;
    } else if (!problem) {
        ADD_FAILURE() << row.name << ": no problem found";
    } else {
        EXPECT_NE(problem->find(row.problem), std::string::npos) << row.name << ": " << *problem;
    }
}

TEST(Squashfs, Superblocks) {
    const Row rows[] = {
        {"whole image", 0, 0, 0, 1048576, nullptr},
        {"exactly as long as used", 0, 0, 0, 1048000, nullptr},
        {"cut short", 0, 0, 0, 1047999, "cut short"},
        {"half of it", 0, 0, 0, 524288, "cut short"},
        {"other magic", 0, 4, 0x73717368ull << 8, 1048576, "magic"},
        {"version 3.1", 28, 4, 3 | (1ull << 16), 1048576, "version 3.1"},
        {"version 4.1", 30, 2, 1, 1048576, "version 4.1"},
        {"block size not a power of two", 12, 4, 131073, 1048576, "block size"},
        {"block size too large", 12, 4, 2097152, 1048576, "block size"},
        {"block log disagrees", 22, 2, 16, 1048576, "block size"},
        {"unknown compression", 20, 2, 7, 1048576, "compression"},
        {"no ids", 26, 2, 0, 1048576, "ids"},
        {"inode table in the superblock", 64, 8, 10, 1048576, "outside"},
        {"id table past the end", 48, 8, 1048000, 1048576, "outside"},
        {"directories before inodes", 72, 8, 999999, 1048576, "order"},
        {"fragment table past the end", 80, 8, 2000000, 1048576, "outside"},
        {"no fragment table", 80, 8, ~0ull, 1048576, nullptr},
    };
    for (const Row& row : rows) {
        std::string bytes = superblock();
        if (row.width > 0) {
            put(bytes, row.offset, row.width, row.value);
        }
        const std::optional<std::string> problem = squashfs_problem(bytes, row.file_size);
        expect_problem(problem, row);
    }
    EXPECT_TRUE(squashfs_problem(superblock().substr(0, 95), 1048576)) << "short superblock";
    EXPECT_TRUE(squashfs_problem("", 0)) << "empty file";
}

/// An image of 8 KiB as mksquashfs lays one out, but for the data: inode
/// table at 5000, directory table at 6000, one fragment block at 6500 and its
/// index at 7000, the id block at 7500 (4 bytes, uncompressed) and its index
/// at 8000, no export table; then the extended attributes: their block at
/// 8010, their id block at 8020, the header at 8040 and its index at 8056.
std::string image() {
    std::string bytes = superblock();
    put(bytes, 16, 4, 1);  // fragments
    put(bytes, 40, 8, 8064);
    put(bytes, 56, 8, 8040);
    put(bytes, 48, 8, 8000);
    put(bytes, 64, 8, 5000);
    put(bytes, 72, 8, 6000);
    put(bytes, 80, 8, 7000);
    put(bytes, 88, 8, ~0ull);
    bytes.resize(8192, '\x5a');
    put(bytes, 6500, 2, 0x8010);
    put(bytes, 7000, 8, 6500);
    put(bytes, 7500, 2, 0x8004);
    put(bytes, 8000, 8, 7500);
    put(bytes, 8010, 2, 0x8004);
    put(bytes, 8020, 2, 0x8010);
    put(bytes, 8040, 8, 8010);
    put(bytes, 8048, 4, 1);
    put(bytes, 8056, 8, 8020);
    return bytes;
}

TEST(Squashfs, TablesAtTheEnd) {
    const Row rows[] = {
        {"whole image", 0, 0, 0, 0, nullptr},
        {"the end zeros from 4 KiB", 4096, 4096, 0, 0, "id table is missing"},
        {"the id index zeros", 8000, 8, 0, 0, "id table is missing"},
        {"an id block of no bytes", 7500, 2, 0x8000, 0, "id table is missing"},
        {"an id block past its index", 7500, 2, 0x8200, 0, "id table is missing"},
        {"a fragment index past the image", 80, 8, 8060, 0, "fragment table lies outside"},
        {"the fragment index zeros", 7000, 8, 0, 0, "fragment table is missing"},
        {"no fragments", 16, 4, 0, 0, nullptr},
        {"the xattr index zeros", 8056, 8, 0, 0, "xattr table is missing"},
        {"the xattr header zeros", 8040, 8, 0, 0, "xattr table is missing"},
        {"an xattr id block of no bytes", 8020, 2, 0x8000, 0, "xattr table is missing"},
        {"no xattrs", 56, 8, ~0ull, 0, nullptr},
    };
    for (const Row& row : rows) {
        std::string bytes = image();
        if (row.offset == 4096) {
            bytes.replace(4096, 4096, 4096, '\0');
        } else if (row.width > 0) {
            put(bytes, row.offset, row.width, row.value);
        }
        const ImageReader read = [&bytes](std::uint64_t offset, std::size_t length) {
            return offset + length <= bytes.size()
                       ? std::optional<std::string>(bytes.substr(offset, length))
                       : std::nullopt;
        };
        ASSERT_EQ(squashfs_problem(bytes, bytes.size()), std::nullopt) << row.name;
        const std::optional<std::string> problem = squashfs_tables_problem(bytes, read);
        expect_problem(problem, row);
    }
}

}  // namespace
}  // namespace updater
