// A build with trial boots: the tool starts the trial of what it installs.
#include <utility>

#include "constants.hpp"
#include "storage.hpp"
#include "trial.hpp"

namespace updater {

bool current_image_on_trial() { return exists(trial_state); }

std::vector<std::string> trial_state_obstacles() {
    std::vector<std::string> obstacles;
    for (const char* path : {trial_state, trial_state_new}) {
        if (std::optional<std::string> obstacle = write_obstacle(path)) {
            obstacles.push_back(std::move(*obstacle));
        }
    }
    return obstacles;
}

bool has_trial_boots() { return true; }

bool begin_trial() { return write_durably(trial_state, trial_state_new, "0\n", image_directory); }

}  // namespace updater
