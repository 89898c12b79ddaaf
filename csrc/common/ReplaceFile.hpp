// Replacing a file's contents so that a failure leaves the old file whole.
#pragma once

#include <string>

namespace mira::typing::text {

// Writes text to path. A regular file is written to a fresh temporary file
// beside it (taking the old file's permission bits) and renamed over it, so
// the old contents stay until the new ones are complete; a symbolic link's
// target is replaced, not the link. Devices, pipes and other non-regular
// files, and existing files in a directory where no temporary file can be
// created, are written in place. Throws std::runtime_error whose what() is
// "Unable to open file", or "Unable to write file: ", "Unable to close
// file: " or "Unable to replace file: " followed by the system's reason.
void ReplaceFileContents(const std::string& path, const std::string& text);

}  // namespace mira::typing::text
