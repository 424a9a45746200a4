#pragma once
// What each TDS family offers: the model table matched on the number in the identification reply.
#include <optional>
#include <string>

namespace vellumix::capture {

struct Capabilities {
    std::string mask; // seven "1"/"0": six format options, then the ink saver
    bool relabel;     // no colour formats: options 0 and 4 read "BMP" and "PCX"

    bool offersFormat(int index) const { return mask[static_cast<std::size_t>(index)] == '1'; }
    bool offersInkSaver() const { return mask[6] == '1'; }
};

struct Identification {
    bool modelFound = false;                  // the reply held "TDS" and a "," after it
    std::string model;                        // "TDS 3054B"
    double modelNumber = 0;                   // 3054
    std::optional<Capabilities> capabilities; // empty: an unsupported model
};

// Cuts the model name out of an identification reply ("TDS" up to the first "," after it).
Identification identifyReply(const std::string& reply);

// The leading decimal number of the model name's characters 5 to 8; blanks skipped, 0 if none.
double modelNumberOf(const std::string& model);

std::optional<Capabilities> capabilitiesFor(double modelNumber);

// The text of the unsupported-model box.
std::string unsupportedModelText(const std::string& model);

} // namespace vellumix::capture
