// The superblock of a squashfs 4.0 file system image: enough of it to tell a
// whole image from a file that cannot be one (another format, another
// version, or an image cut short, as a copy to a stick that was pulled out).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace updater {

/// Bytes in a squashfs 4.0 superblock, at the start of the image.
inline constexpr std::size_t squashfs_superblock_size = 96;

/// Returns std::nullopt when `superblock`, the first bytes of a file of
/// `file_size` bytes, is the superblock of a squashfs 4.0 image that fits in
/// the file: the magic "hsqs", version 4.0, a block size that is a power of
/// two from 4 KiB to 1 MiB and agrees with its logarithm, a known
/// compression, at least one id, and a used size within the file that holds
/// every table the superblock points to, in their order. Otherwise why not,
/// as a phrase for a reason line.
std::optional<std::string> squashfs_problem(std::string_view superblock, std::uint64_t file_size);

/// Reads `length` bytes at `offset` of an image: all of them, or
/// std::nullopt.
using ImageReader =
    std::function<std::optional<std::string>(std::uint64_t offset, std::size_t length)>;

/// Returns std::nullopt when the tables that a squashfs image keeps at its end
/// are there, for `superblock`, one squashfs_problem took, of the image that
/// `read` reads: the index of the id table (and of the fragment and export
/// tables, where the image has them) lies within the used size, and each
/// metadata block it points to lies after the directory table and before
/// the index, with a header that gives it 1 to 8192 bytes. A copy cut short
/// whose file was given its full size first (its end zeros) fails here.
/// Reads a few dozen bytes, never the whole image. Otherwise why not, as a
/// phrase for a reason line.
std::optional<std::string> squashfs_tables_problem(std::string_view superblock,
                                                   const ImageReader& read);

}  // namespace updater
