// Whether the update file can be an image at all: in a build with an image
// check, only a whole file system image of the kind the device boots is
// installed. A build without one takes the images as opaque files.
#pragma once

#include <optional>
#include <string>

namespace updater {

/// Returns std::nullopt when the update file may be an image; otherwise why
/// not, as a reason line. With the squashfs check: reads the first 96 bytes
/// of /mnt/usb/kestran.fir (a regular file only, opened without waiting) and
/// checks them as a squashfs 4.0 superblock against the file's size; no
/// other pass over the image. Without a check: always std::nullopt, and
/// nothing is read.
std::optional<std::string> update_image_problem();

}  // namespace updater
