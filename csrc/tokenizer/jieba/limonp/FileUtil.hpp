// Opening the segmenter's data files.
#pragma once

#include <fstream>
#include <string>

namespace mira::typing::text::limonp {

// Opens path for reading; leaves ifs closed when path holds a NUL byte (the
// file system would see a shorter path) or names a directory (it would read
// as an empty file). Either way the loader's open check then fails.
void OpenDataFile(std::ifstream& ifs, const std::string& path);

}  // namespace mira::typing::text::limonp
