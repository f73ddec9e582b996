// The superblock of a squashfs 4.0 file system image: enough of it to tell a
// whole image from a file that cannot be one (another format, another
// version, or an image cut short, as a copy to a stick that was pulled out).
#pragma once

#include <cstdint>
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

}  // namespace updater
