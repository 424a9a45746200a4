#pragma once
// The simulated scope may not depend on a bus that uses it.
#include "gpib/backends/usbtmc/pipe.h"
