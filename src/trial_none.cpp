// A build without trial boots: every installed image counts as confirmed.
#include "trial.hpp"

namespace updater {

bool current_image_on_trial() { return false; }

std::vector<std::string> trial_state_obstacles() { return {}; }

bool has_trial_boots() { return false; }

bool begin_trial() { return true; }

}  // namespace updater
