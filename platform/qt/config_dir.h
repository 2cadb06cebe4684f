// --config-dir on Linux: the settings in the user's configuration folder.
#pragma once

namespace wigwag {

// Changes into ${XDG_CONFIG_HOME:-$HOME/.config}/wigwag, making the folders that are
// missing; on failure says so in one line on standard error and returns false.
bool EnterConfigDir();

}  // namespace wigwag
