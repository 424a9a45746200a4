// What each firmware does, where a host can see it: one row per generation.
#include "tools/sim-adapter/emulator.h"

namespace vellumix::simadapter {

namespace {

// Rows: what each firmware does (see docs/adapters.md for the sources and the rig checks).
// An ATmega328P's serial ring holds 64 slots of which 63 can be full; the output ring is the same.
const FirmwareProfile kProfiles[] = {
    {Firmware::Ar488_047, Flavour::Ar488, "ar488-0.47", "AR488 GPIB controller, ver. 0.47.60, 05/12/2019", 63,
     63, ReadAbort::CharPerByte, false, false, true, true, true, false, false, false, UnrecognizedCommand,
     1200, 32000},
    {Firmware::Ar488_049, Flavour::Ar488, "ar488-0.49", "AR488 GPIB controller, ver. 0.49.03, 18/12/2020", 63,
     63, ReadAbort::None, false, false, true, true, true, false, true, false, UnrecognizedCommand, 1200,
     32000},
    {Firmware::Ar488_050, Flavour::Ar488, "ar488-0.50", "AR488 GPIB controller, ver. 0.50.16, 02/06/2021", 63,
     63, ReadAbort::AfterByte, false, false, true, false, true, true, true, false, UnrecognizedCommand, 1200,
     32000},
    {Firmware::Ar488_053, Flavour::Ar488, "ar488-0.53", "AR488 GPIB controller, ver. 0.53.04, 13/04/2025", 63,
     63, ReadAbort::None, true, true, false, false, false, false, true, false, "Invalid parameter", 1200,
     32000},
    {Firmware::Prologix, Flavour::Prologix, "prologix", "Prologix GPIB-USB Controller version 6.107", 0, 0,
     ReadAbort::AtOnce, false, true, false, false, false, false, false, true, "", 500, 3000},
    {Firmware::Immediate, Flavour::Prologix, "immediate", "Prologix GPIB-USB Controller version 6.107", 0, 0,
     ReadAbort::AtOnce, false, true, false, false, false, false, false, true, "", 500, 3000},
};

} // namespace

const FirmwareProfile& profile(Firmware firmware) {
    for (const FirmwareProfile& p : kProfiles)
        if (p.firmware == firmware) return p;
    return kProfiles[0];
}

std::optional<Firmware> firmwareNamed(std::string_view name) {
    if (name == "ar488") return Firmware::Ar488_053;
    for (const FirmwareProfile& p : kProfiles)
        if (name == p.name) return p.firmware;
    return std::nullopt;
}

std::string versionText(const AdapterOptions& options) {
    const FirmwareProfile& p = profile(options.effectiveFirmware());
    if (p.flavour == Flavour::Prologix && options.ethernet)
        return "Prologix GPIB-ETHERNET Controller version 01.06.06.00";
    return p.version;
}

} // namespace vellumix::simadapter
