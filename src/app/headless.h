#pragma once

namespace lumora::app {

// Parses the command line, runs the start-up and waits for SIGINT/SIGTERM or a
// quit request; returns the process exit code.
int run_program(int argc, char** argv);

}  // namespace lumora::app
