#pragma once
// Identification of the scope the device search handed out, shared by the window and the CLI.
#include "capture/models.h"
#include "gpib/link.h"

#include <cstdint>

namespace vellumix::capture {

struct ScopeIdentity {
    Identification id;
    int16_t address = 0;      // the listener address of the device; 0 when unknown
    bool queryFailed = false; // the ID? query failed; the link has shown why
};

// Asks the device "ID?" and looks its model up in the model table.
ScopeIdentity IdentifyScope(gpib::InstrumentLink& link, int16_t device);

} // namespace vellumix::capture
