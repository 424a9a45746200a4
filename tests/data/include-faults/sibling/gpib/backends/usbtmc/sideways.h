#pragma once
// One bus reaching into another: what they share belongs in gpib/backends/.
#include "gpib/backends/sim/simbus.h"
