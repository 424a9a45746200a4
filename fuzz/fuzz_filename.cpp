// "Last FileName" from the user-editable settings file, and the path a Save dialog returns.
#include "files/filerules.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    if (vellumix::isPlainDataFileName(text)) {
        // An accepted name never leaves the data folder.
        if (text.find('/') != std::string::npos || text.find('\\') != std::string::npos || text == "..")
            __builtin_trap();
    }
    // The dialog's full name and its title, split at the first NUL.
    const std::size_t cut = text.find('\0');
    if (cut != std::string::npos) {
        const std::string folder = vellumix::folderOfChosenFile(text.substr(0, cut), text.substr(cut + 1));
        if (folder.size() > cut) __builtin_trap();
    }
    return 0;
}
