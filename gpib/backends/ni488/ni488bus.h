#pragma once
// Opening a gpib bus: the first driver library of the search that loads, checked for the board.
#include "gpib/backends/ni488/boardcheck.h"
#include "gpib/backends/schemes.h"

namespace vellumix::gpib::ni488 {

// host: where the board check of a linux-gpib library looks (the machine's own places by default).
// When no library loads, the message names each one tried and why it failed. clock: the link's,
// whose idle() the driver calls between the slices of a long read (none: not called).
BusOpenResult openBoard(int board, const DriverLibrarySearch& search, const LinuxGpibHost& host = {},
                        Clock* clock = nullptr);

} // namespace vellumix::gpib::ni488

namespace vellumix::gpib {

// openBus with the board check of a linux-gpib library looking where host says (tests use it).
BusOpenResult openBus(const BusUri& uri, Clock& clock, const DriverLibrarySearch& search,
                      const ni488::LinuxGpibHost& host);

} // namespace vellumix::gpib
