// Installing by copies: the current image is copied to the fallback image,
// then the update over the current image, each checked on the medium.
#include <string>

#include "constants.hpp"
#include "install.hpp"
#include "install_mode.hpp"
#include "storage.hpp"

namespace updater {
namespace {

/// Keeps the current image, whose digest is `digest`, as the fallback image:
/// true when it is in place, whole, checked and on storage. Otherwise says
/// why and leaves no fallback image and no partial copy (as far as the
/// partition lets them be removed).
bool keep_fallback(const Plan& plan, const std::string& digest) {
    // The old fallback image goes first, so that the copy needs no more room
    // than before.
    if (!remove_old_fallback(plan)) {
        return false;
    }
    if (copy_durably(keep_fallback_command, fallback_image_new, digest) &&
        rename_durably(fallback_image_new, fallback_image, image_directory)) {
        return true;
    }
    // What a failed copy left takes room the next boot may need.
    remove_durably(fallback_image_new, image_directory);
    return false;
}

}  // namespace

bool installs_by_rename() { return false; }

bool place_update(const Plan& plan, const std::optional<std::string>& current_digest,
                  const std::string& update_digest) {
    const bool keep = plan.action == Action::install_keeping_current && current_digest;
    if (keep && !keep_fallback(plan, *current_digest)) {
        return false;
    }
    if (install_over_current(update_digest)) {
        return true;
    }
    if (keep && copy_durably(restore_command, current_image, *current_digest)) {
        remove_durably(install_marker, image_directory);
    }
    return false;
}

}  // namespace updater
