// A build without trial boots: every installed image counts as confirmed.
#include "trial.hpp"

namespace updater {

bool current_image_on_trial() { return false; }

bool trial_state_writable() { return true; }

bool begin_trial() { return true; }

}  // namespace updater
