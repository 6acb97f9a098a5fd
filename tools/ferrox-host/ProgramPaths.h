#pragma once

namespace ferrox_host {

// Prints where the plug-in looks for its files and its companion, as the environment gives them now,
// one "name=path" a line: companion, command_file, configuration_report, state_file, and pipe_name
// (the companion's only argument). Scripts that lay out a sandbox read these instead of spelling the
// paths out again. 0 when every path could be formed; 1, with the unset variables named on standard
// error, when not.
int printProgramPaths();

} // namespace ferrox_host
