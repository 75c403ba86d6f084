#pragma once

#include "tools/simulator/options.h"

/// Builds the simulated machine the options describe, runs the daemon on it
/// and returns the exit code: the daemon's, or 2 when the simulation could
/// not be set up.
int runSimulation(const SimulatorOptions& options, const char* programName);
