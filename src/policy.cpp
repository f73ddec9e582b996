#include "policy.hpp"

namespace updater {
namespace {

/// True when the update may be installed on this device at all.
bool acceptable(const Facts& facts) {
    return facts.authentic && facts.compatible && facts.no_downgrade;
}

}  // namespace

Action decide(const Facts& facts) {
    if (!facts.update_digest || !facts.update_is_image) {
        return Action::unreadable;
    }
    if (facts.current_digest == facts.update_digest) {
        // An image left suspect by a cut-off install is what this update
        // would install: it is confirmed only for an authentic update.
        if (!facts.interrupted) {
            return Action::nothing;
        }
        if (!acceptable(facts)) {
            return Action::rejected;
        }
        // (The update file may be the current image itself, through a link:
        // then the digests match whatever the image holds.)
        if (!facts.writable) {
            return Action::refuse_not_writable;
        }
        return facts.image_in_use ? Action::refuse_in_use : Action::finish_interrupted;
    }
    if (!acceptable(facts)) {
        return Action::rejected;
    }
    if (!facts.writable) {
        return Action::refuse_not_writable;
    }
    if (facts.image_in_use) {
        return Action::refuse_in_use;
    }
    // An image that is there but cannot be read is overwritten only while a
    // fallback image stands ready to boot should the install fail.
    if (!facts.current_digest && !facts.interrupted && facts.current_present &&
        !facts.fallback_present) {
        return Action::refuse_only_image_unreadable;
    }
    // Only an image that is complete and, with trial boots, confirmed is one
    // to fall back to; but an unconfirmed one is kept where there is no
    // fallback image at all, since it is then the only image to boot.
    const bool known_good = !facts.interrupted && facts.current_digest &&
                            (!facts.current_on_trial || !facts.fallback_present);
    return known_good ? Action::install_keeping_current : Action::install_without_fallback;
}

const char* action_name(Action action) {
    switch (action) {
        case Action::nothing:
            return "nothing";
        case Action::unreadable:
            return "unreadable";
        case Action::rejected:
            return "rejected";
        case Action::finish_interrupted:
            return "finish_interrupted";
        case Action::install_keeping_current:
            return "install_keeping_current";
        case Action::install_without_fallback:
            return "install_without_fallback";
        case Action::refuse_not_writable:
            return "refuse_not_writable";
        case Action::refuse_in_use:
            return "refuse_in_use";
        case Action::refuse_only_image_unreadable:
            return "refuse_only_image_unreadable";
    }
    return "?";
}

}  // namespace updater
