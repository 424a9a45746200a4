#pragma once
// A tool may use any backend and the simulated scope.
#include "cli/cli.h"
#include "gpib/backends/prologix/protocol.h"
#include "gpib/backends/sim/simbus.h"
#include "gpib/backends/simscope/scenario.h"
