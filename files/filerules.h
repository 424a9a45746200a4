#pragma once
// Paths and file operations of saving, importing and capturing: no dialogs, no messages.
#include "platform/desktop.h"

#include <string>

namespace vellumix {

// The per-user application data base: $AppData when set (and not empty), otherwise the XDG data home
// ($XDG_DATA_HOME when absolute, else $HOME/.local/share), on Windows %USERPROFILE%\AppData\Roaming.
// Empty when none of them is known. Folders below are joined with the native separator.
std::string appDataBase(Desktop& desktop);
// appDataBase + "/Vellumix", the folder of the capture files; empty when the base is unknown.
std::string dataFolder(Desktop& desktop);
// appDataBase + "/vbTemp", the folder of the update file's local copy; empty when the base is unknown.
std::string updateTempFolder(Desktop& desktop);

// Start folder of the first Save dialog: the user profile ($USERPROFILE, else $HOME) + "/Documents"
// when that exists, otherwise + "/My Documents".
std::string defaultSavePath(Desktop& desktop);

// The folder part of a path chosen in the Save dialog: fileName without its last fileTitle.size() + 1
// characters (the title and its separator). Empty when the title does not fit in the name.
std::string folderOfChosenFile(const std::string& fileName, const std::string& fileTitle);

// "Last FileName" comes from a settings file the user can edit; only a plain name inside the data
// folder is accepted, never a path that could reach elsewhere.
bool isPlainDataFileName(const std::string& name);

// Copies src to dst, replacing dst. The data goes to a temporary file beside dst that replaces it only
// when complete, so a failed copy leaves an existing dst as it was. On failure error holds the reason.
bool copyReplacing(const std::string& src, const std::string& dst, std::string& error);

// Writes bytes to path exactly as given (binary, nothing added), replacing the file the same safe way.
bool writeFileReplacing(const std::string& path, const std::string& bytes, std::string& error);

} // namespace vellumix
