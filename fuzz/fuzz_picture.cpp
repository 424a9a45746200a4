// A hard copy: whether it arrived whole, whether it is a sound picture of each format a capture may
// ask for (a capture's verdict), and its first bytes' kind and announced length, for every prefix a
// read could have delivered so far.
#include "capture/hardcopy.h"
#include "picture/completeness.h"
#include "picture/pictureinfo.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view picture(reinterpret_cast<const char*>(data), size);
    const auto check = vellumix::picture::checkPicture(picture);
    (void)vellumix::picture::shortfallText(check, size);
    (void)vellumix::picture::pictureKind(picture);
    (void)vellumix::picture::expectedLength(picture);
    using vellumix::picture::PictureKind;
    for (PictureKind asked : {PictureKind::Bmp, PictureKind::Tiff, PictureKind::Png, PictureKind::Pcx}) {
        const auto verdict = vellumix::capture::judgeHardCopy(picture, asked);
        // A good verdict is a sound, whole picture of that kind, and only that.
        if (verdict.good != (vellumix::picture::isPictureOf(check, asked) && check.complete))
            __builtin_trap();
        if (verdict.good != verdict.problem.empty()) __builtin_trap();
    }
    // The progress head: the first 64 bytes, and the shorter heads of the first chunks.
    for (std::size_t n : {std::size_t{2}, std::size_t{14}, std::size_t{54}, std::size_t{64}}) {
        if (n > size) break;
        (void)vellumix::picture::pictureKind(picture.substr(0, n));
        (void)vellumix::picture::expectedLength(picture.substr(0, n));
    }
    return 0;
}
