// A build with trial boots: the tool starts the trial of what it installs.
#include "constants.hpp"
#include "storage.hpp"
#include "trial.hpp"

namespace updater {

bool current_image_on_trial() { return exists(trial_state); }

bool trial_state_writable() {
    const bool state = regular_or_absent(trial_state);
    return regular_or_absent(trial_state_new) && state;
}

bool begin_trial() { return write_durably(trial_state, trial_state_new, "0\n", image_directory); }

}  // namespace updater
