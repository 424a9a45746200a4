#pragma once
// The six hard copy formats: option captions, the scope's format words and file extensions.
#include "picture/pictureinfo.h"

#include <array>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vellumix::capture {

struct HardCopyFormat {
    int index;                 // Option_HCFormat index
    const char* caption;       // the form's caption
    const char* monoCaption;   // caption on models without colour formats
    const char* formatWord;    // follows "HARDCOPY:FORMAT "
    const char* fileExt;       // with its leading dot
    picture::PictureKind kind; // what the scope's bytes must be
};

inline constexpr std::array<HardCopyFormat, 6> Formats = {{
    {0, "BMP (MONO)", "BMP", "BMP", ".bmp", picture::PictureKind::Bmp},
    {1, "BMP COLOR", "BMP COLOR", "BMPCOLOR", ".bmp", picture::PictureKind::Bmp},
    {2, "TIFF", "TIFF", "TIFF", ".tif", picture::PictureKind::Tiff},
    {3, "PNG", "PNG", "PNG", ".png", picture::PictureKind::Png},
    {4, "PCX (MONO)", "PCX", "PCX", ".pcx", picture::PictureKind::Pcx},
    {5, "PCX COLOR", "PCX COLOR", "PCXCOLOR", ".pcx", picture::PictureKind::Pcx},
}};

// The format with this format word (case-insensitive), if any.
std::optional<HardCopyFormat> formatByWord(std::string_view word);

// The picture kind a file extension (".bmp", ".tif", ".tiff", ".png", ".pcx"; any case) names, or Unknown.
picture::PictureKind kindOfExtension(std::string_view path);

// Whether the scope offers the format of an index (the model's capabilities, or the window's
// enabled options).
using FormatOffered = std::function<bool(int index)>;

// The format chosen when nothing else says: colour BMP where offered, else mono BMP.
int preselectedFormat(const FormatOffered& offered);

// The format a stored file name brings back, by its last three characters: "bmp" (or no name)
// the preselection, "tif" TIFF, "png" PNG, "pcx" colour PCX where offered else mono PCX. Empty when
// the name says nothing or its format is not offered: the selection stays as it is.
std::optional<int> formatForFileName(const std::string& name, const FormatOffered& offered);

// The format a file name's extension asks for (.bmp, .tif, .tiff, .png, .pcx; any case): BMP and PCX
// in colour where offered. Empty for any other extension. The format may not be offered.
std::optional<int> formatForExtension(std::string_view path, const FormatOffered& offered);

} // namespace vellumix::capture
