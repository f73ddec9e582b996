// Installing by renames: the update is written once, at a temporary name,
// and checked on the medium; the current image becomes the fallback image by
// a rename, and the new image the current image by another. The installed
// image is neither copied nor read back.
#include <string>

#include "constants.hpp"
#include "install.hpp"
#include "install_mode.hpp"
#include "process.hpp"
#include "storage.hpp"

namespace updater {
namespace {

/// Writes the update file, of digest `digest`, to the current image's
/// temporary name, flushed and checked on the medium: true when it is there
/// whole, otherwise says why and removes what the copy left.
bool write_new_image(const std::string& digest) {
    if (stop_requested() == 0 && copy_durably(install_new_command, current_image_new, digest)) {
        return true;
    }
    remove_durably(current_image_new, image_directory);
    return false;
}

/// After a failure with the current image at the fallback image's name and
/// no new image in place: puts it back as the current image, as far as the
/// partition lets it.
void put_back_current() {
    if (!exists(current_image) && rename_durably(fallback_image, current_image, image_directory)) {
        remove_durably(install_marker, image_directory);
    }
}

}  // namespace

bool installs_by_rename() { return true; }

bool place_update(const Plan& plan, const std::optional<std::string>& current_digest,
                  const std::string& update_digest) {
    // A temporary image left by a cut takes room: it goes first.
    if (stop_requested() != 0 || !remove_durably(current_image_new, image_directory)) {
        return false;
    }
    if (plan.action != Action::install_keeping_current || !current_digest) {
        // Nothing to keep: the update goes over the current image, as a copy
        // would put it, needing no more room than that.
        return install_over_current(update_digest);
    }
    // The old fallback image goes first, so that the new image needs no more
    // room than a fallback copy would; the current image is whole meanwhile,
    // and stays so while the new image is written.
    if (!remove_old_fallback(plan) || !write_new_image(update_digest)) {
        return false;
    }
    // Each step leaves a whole image where kestran-boot-image looks: the
    // current image; then, renamed, the fallback image (the current image is
    // gone); then, the marker there, still the fallback image.
    if (stop_requested() != 0 || !rename_durably(current_image, fallback_image, image_directory)) {
        return false;
    }
    if (stop_requested() == 0 && create_durably(install_marker, image_directory) &&
        rename_durably(current_image_new, current_image, image_directory)) {
        return true;
    }
    put_back_current();
    return false;
}

}  // namespace updater
