// The recording a replay plays: a .vrec file (client/lib/recording.h) as a replay's frame source.
#pragma once

#include <memory>
#include <string>

#include "replay_player.h"

namespace zelm::replay {

// The recording at `path`, ready to play from its start; null, with the reason in `error`, when it
// cannot be opened or is not a recording this build reads.
std::unique_ptr<FrameSource> OpenRecording(const std::string& path, std::string* error);

}  // namespace zelm::replay
