#pragma once
// File names of captured pictures: valid on Windows as well (no colons, no blanks).
#include <ctime>
#include <string>

namespace vellumix::cli {

// The model as a file name part: "TDS 3054B" -> "TDS3054B". Blanks are dropped and anything but
// letters, digits, '-', '_' and '.' becomes '_', so a reply cannot steer the file elsewhere.
std::string fileNamePart(const std::string& model);

// MODEL_YYYY-MM-DD_HHMMSS followed by ext (with its dot), e.g. TDS3054B_2026-12-07_153012.bmp.
std::string defaultPictureName(const std::string& model, const std::tm& time, const std::string& ext);

// The number goes before the extension of the last path element, three digits at least:
// "shot.bmp", 2 -> "shot_002.bmp"; "out.d/shot" -> "out.d/shot_002"; ".bmp" -> ".bmp_002".
std::string numberedPath(const std::string& path, int number);

// Whether a name holds one of the patterns expandPattern fills in.
bool hasNamePattern(const std::string& name);
// Whether it holds the counter pattern {n}.
bool hasCounterPattern(const std::string& name);
// Fills in every {n} (the number, three digits at least) and {time} (2026-12-08T10-15-30: no
// colons, so the name is valid on Windows too). Other braces stay as they are.
std::string expandPattern(const std::string& pattern, int number, const std::tm& time);

// Writes a new file; never replaces one. False with errno's text in error, and taken set when the
// name was already there (the caller may try another name). A failed write removes what it began.
bool writeNewFile(const std::string& path, const std::string& bytes, bool& taken, std::string& error);

} // namespace vellumix::cli
