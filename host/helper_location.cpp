#include "helper_location.h"

#include <sys/stat.h>
#include <unistd.h>

namespace olvek::host {

std::vector<std::string> helperCandidates(const std::string& programDir, const std::string& installedRelative,
                                          const std::string& helperName) {
    std::vector<std::string> out;
    // An absolute folder (a layout configured with absolute directories)
    // does not depend on where the program is.
    if (!installedRelative.empty() && installedRelative != ".") {
        const std::string dir = installedRelative[0] == '/' ? installedRelative : programDir + "/" + installedRelative;
        out.push_back(dir + "/" + helperName);
    }
    out.push_back(programDir + "/" + helperName);
    return out;
}

std::string firstExecutable(const std::vector<std::string>& candidates) {
    for (const auto& path : candidates) {
        struct stat status{};
        if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return {};
}

std::string ownExecutableDir() {
    std::string path(4096, '\0');
    ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (n <= 0) return ".";
    path.resize(static_cast<std::size_t>(n));
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace olvek::host
