#include "gpib/backends/simscope/scenario.h"

#include "gpib/backends/simscope/picture.h"
#include "gpib/status.h"
#include "platform/text.h"

#include <cmath>

namespace vellumix::gpib::sim {

const char* formatWord(PictureFormat format) {
    switch (format) {
    case PictureFormat::Bmp:
        return "BMP";
    case PictureFormat::BmpColor:
        return "BMPCOLOR";
    case PictureFormat::Tiff:
        return "TIFF";
    case PictureFormat::Png:
        return "PNG";
    case PictureFormat::Pcx:
        return "PCX";
    case PictureFormat::PcxColor:
        return "PCXCOLOR";
    }
    return "BMP";
}

std::optional<PictureFormat> parseFormatWord(std::string_view word) {
    const std::string w = upperAscii(word);
    // Long form and the shortest form the scope takes.
    auto is = [&](std::string_view full, std::size_t shortest) {
        return w.size() >= shortest && w.size() <= full.size() && full.compare(0, w.size(), w) == 0;
    };
    if (w == "BMP") return PictureFormat::Bmp;
    if (is("BMPCOLOR", 4)) return PictureFormat::BmpColor;
    if (is("TIFF", 3)) return PictureFormat::Tiff;
    if (w == "PNG") return PictureFormat::Png;
    if (w == "PCX") return PictureFormat::Pcx;
    if (is("PCXCOLOR", 4)) return PictureFormat::PcxColor;
    return std::nullopt;
}

Payload Payload::rendered(std::string append) {
    Payload p;
    p.append = std::move(append);
    return p;
}

Payload Payload::fromBytes(std::string bytes, std::string append) {
    Payload p;
    p.source = Source::Bytes;
    p.bytes = std::move(bytes);
    p.append = std::move(append);
    return p;
}

Payload Payload::ofSize(std::size_t size) {
    Payload p;
    p.source = Source::Size;
    p.size = size;
    return p;
}

std::string InstrumentSetup::effectiveModel() const {
    if (!model.empty()) return model;
    for (const auto* reply : {&idReply, &idnReply}) {
        if (!*reply) continue;
        const std::string& r = **reply;
        const std::size_t a = r.find("TDS");
        if (a == std::string::npos) continue;
        const std::size_t b = r.find(',', a);
        return r.substr(a, b == std::string::npos ? std::string::npos : b - a);
    }
    return "TDS";
}

namespace {
// TDS 200 and TDS 1000/2000 hard copies show their 320x240 screen.
bool smallScreen(const std::string& model) {
    const int n = modelNumber(model);
    return (n >= 200 && n <= 299) || (n >= 1000 && n <= 1099) || (n >= 2000 && n <= 2099);
}
} // namespace

int InstrumentSetup::effectiveWidth() const {
    if (screenWidth > 0) return screenWidth;
    return smallScreen(effectiveModel()) ? 320 : 640;
}

int InstrumentSetup::effectiveHeight() const {
    if (screenHeight > 0) return screenHeight;
    return smallScreen(effectiveModel()) ? 240 : 480;
}

Scenario Scenario::defaultScenario() {
    Scenario s;
    s.description = "One TDS 3054B at GPIB address 1";
    s.rate = 300000; // a colour BMP (308,278 bytes) takes about a second
    s.latency = 0.05;
    s.addScope(1, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41 TDS3FFT:v1.00 TDS3TRG:v1.00").idnReply =
        "TEKTRONIX,TDS 3054B,0,CF:91.1CT FV:v3.41 TDS3FFT:v1.00 TDS3TRG:v1.00";
    return s;
}

InstrumentSetup& Scenario::addScope(int address, std::string idReply) {
    InstrumentSetup& setup = instruments.emplace_back();
    setup.address = address;
    setup.scope = true;
    setup.idReply = std::move(idReply);
    setup.idnReply = "TEKTRONIX," + setup.effectiveModel() + ",0,CF:91.1CT FV:v1.00";
    return setup;
}

InstrumentSetup& Scenario::addInstrument(int address, std::optional<std::string> idReply) {
    InstrumentSetup& setup = instruments.emplace_back();
    setup.address = address;
    setup.scope = false;
    setup.idReply = idReply;
    setup.idnReply = std::move(idReply);
    return setup;
}

std::string validateScenario(const Scenario& s) {
    if (!std::isfinite(s.rate) || s.rate < 0)
        return "rate must be 0 or a positive number of bytes per second";
    for (double l : {s.latency, s.hardcopyLatency.value_or(0)})
        if (!std::isfinite(l) || l < 0 || l > 3600) return "latency must be between 0 and 3600 seconds";
    bool used[MaxPrimaryAddress + 1] = {};
    for (const InstrumentSetup& in : s.instruments) {
        const std::string where = "instrument at address " + std::to_string(in.address);
        if (in.address < 1 || in.address > MaxPrimaryAddress)
            return "instrument address " + std::to_string(in.address) + " is outside " +
                   instrumentAddressRange() + " (0 is the board)";
        if (used[in.address]) return "two instruments at address " + std::to_string(in.address);
        used[in.address] = true;
        if ((in.screenWidth != 0 || in.screenHeight != 0) &&
            (in.screenWidth < 16 || in.screenHeight < 16 || in.screenWidth > 4096 || in.screenHeight > 4096))
            return where + ": screen size must be between 16 and 4096 pixels each way";
        if (in.triggerAfter &&
            (!std::isfinite(*in.triggerAfter) || *in.triggerAfter < 0 || *in.triggerAfter > 7 * 24 * 3600.0))
            return where + ": trigger must be \"never\" or between 0 and 604800 seconds";
        for (const Fault& f : in.faults) {
            if (f.times < 0) return where + ": a fault's times must be 0 (always) or more";
            if ((f.kind == Fault::Kind::ReadTimeout || f.kind == Fault::Kind::ReadError) && f.chunk < 1)
                return where + ": a read fault's chunk counts from 1";
        }
    }
    return {};
}

} // namespace vellumix::gpib::sim
