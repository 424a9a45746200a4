// Which layout a simulated scope writes: by format and by the family its model belongs to.
#include "gpib/backends/simscope/picture.h"

#include "gpib/backends/simscope/encoders.h"

#include <cctype>

namespace vellumix::gpib::sim {

int modelNumber(const std::string& model) {
    std::size_t i = model.find("TDS");
    i = i == std::string::npos ? 0 : i + 3;
    while (i < model.size() && model[i] == ' ')
        ++i;
    int n = 0;
    while (i < model.size() && std::isdigit(static_cast<unsigned char>(model[i])) && n < 100000)
        n = n * 10 + (model[i++] - '0');
    return n;
}

ScopeFamily scopeFamily(const std::string& model) {
    const int n = modelNumber(model);
    if (n >= 300 && n <= 499) return ScopeFamily::Tds300_400;
    if (n >= 1000 && n <= 1099) return ScopeFamily::Tds1000;
    if (n >= 2000 && n <= 2099) return ScopeFamily::Tds2000;
    return ScopeFamily::Other;
}

std::string encodePicture(PictureFormat format, const Screen& screen, const PictureOptions& options) {
    // The TDS 1000/2000 has one BMP and one TIFF writer, both in its own palette.
    const bool tek = options.family == ScopeFamily::Tds1000 || options.family == ScopeFamily::Tds2000;
    switch (format) {
    case PictureFormat::Bmp:
        return tek ? encode::bmpTekPalette(screen, options) : encode::bmpMono(screen, options);
    case PictureFormat::BmpColor:
        return tek ? encode::bmpTekPalette(screen, options) : encode::bmpColour(screen, options);
    case PictureFormat::Tiff:
        return tek ? encode::tiffPackBits(screen, options) : encode::tiffIfdLast(screen, options);
    case PictureFormat::Png:
        return encode::png(screen, options);
    case PictureFormat::Pcx:
        return encode::pcx(screen, options, false);
    case PictureFormat::PcxColor:
        return encode::pcx(screen, options, true);
    }
    return {};
}

} // namespace vellumix::gpib::sim
