#include "capture/models.h"

#include <array>
#include <cctype>

namespace vellumix::capture {

namespace {

struct ModelRow {
    double low;
    double high; // equal to low for a single model
    const char* mask;
    bool relabel;
};

// First matching row wins; ranges include both ends.
constexpr std::array<ModelRow, 19> ModelTable = {{
    {200, 299, "1000100", true},    {300, 399, "1010100", true},   {400, 499, "1010100", true},
    {520, 520, "1010100", true},    {540, 540, "1010100", true},   {580, 580, "1010100", true},
    {620, 620, "1010100", true},    {640, 640, "1010100", true},   {680, 680, "1010100", true},
    {820, 820, "1010100", true},    {524, 524, "1110110", false},  {544, 544, "1110110", false},
    {654, 654, "1110110", false},   {684, 684, "1110110", false},  {694, 694, "1110110", false},
    {700, 799, "1110110", false},   {1000, 1099, "1010100", true}, {2000, 2099, "1010101", true},
    {3000, 3099, "1111111", false},
}};

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

} // namespace

double modelNumberOf(const std::string& model) {
    const std::string digits = model.size() > 4 ? model.substr(4, 4) : std::string();
    double value = 0;
    double scale = 0; // 0 before the decimal point, then 0.1, 0.01, ...
    bool negative = false;
    bool started = false;
    for (char c : digits) {
        if (isBlank(c)) continue;
        if (!started && (c == '+' || c == '-')) {
            negative = c == '-';
            started = true;
            continue;
        }
        if (std::isdigit(static_cast<unsigned char>(c))) {
            started = true;
            if (scale == 0) {
                value = value * 10 + (c - '0');
            } else {
                value += (c - '0') * scale;
                scale /= 10;
            }
        } else if (c == '.' && scale == 0) {
            started = true;
            scale = 0.1;
        } else {
            break;
        }
    }
    return negative ? -value : value;
}

std::optional<Capabilities> capabilitiesFor(double number) {
    for (const auto& row : ModelTable)
        if (number >= row.low && number <= row.high) return Capabilities{row.mask, row.relabel};
    return std::nullopt;
}

Identification identifyReply(const std::string& reply) {
    Identification id;
    const auto a = reply.find("TDS");
    if (a != std::string::npos) {
        const auto b = reply.find(',', a);
        id.modelFound = b != std::string::npos;
        // A reply without the firmware part after the model still names the model: take it to the end.
        id.model = reply.substr(a, b == std::string::npos ? std::string::npos : b - a);
    } else {
        // No model name at all (for example an empty reply after a failed query).
        id.model = reply;
    }
    id.modelNumber = a == std::string::npos ? 0 : modelNumberOf(id.model);
    id.capabilities = a == std::string::npos ? std::nullopt : capabilitiesFor(id.modelNumber);
    return id;
}

std::string unsupportedModelText(const std::string& model) {
    if (model.empty()) return "The instrument sent no identification reply, so its model is unknown.";
    return model + " is NOT supported by this software.";
}

} // namespace vellumix::capture
