#pragma once

namespace qz::probe {

// The whole program: parses the command line, runs the command, and returns
// the exit status (ExitStatus). Never throws.
int RunProbe(int argc, char** argv);

} // namespace qz::probe
