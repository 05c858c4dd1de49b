// Where olvek-transcribe finds the speech helper when no --helper is given.
#pragma once

#include <string>
#include <vector>

namespace olvek::host {

// The paths to try, in order, for a program whose executable is in
// `programDir`: first `installedRelative` (the helper's folder as installed,
// relative to the program's: "../libexec/olvek-speech-helper"), then
// `programDir` itself, as in the build tree where both are built side by side.
std::vector<std::string> helperCandidates(const std::string& programDir, const std::string& installedRelative,
                                          const std::string& helperName);

// Returns the first of `candidates` that is an executable file, or nothing
// when none is.
std::string firstExecutable(const std::vector<std::string>& candidates);

// The folder of this process's executable (from /proc/self/exe); "." when it
// cannot be told.
std::string ownExecutableDir();

} // namespace olvek::host
