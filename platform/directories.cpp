#include "platform/directories.h"

#include "platform/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>

namespace signposter::platform {

namespace {

std::string Environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string WithoutTrailingSeparator(std::string path) {
    while (path.size() > 1 && path.back() == kPathSeparator) path.pop_back();
    return path;
}

}  // namespace

std::string ConfigDirectory() {
    std::string dir = Environment("XDG_CONFIG_HOME");
    if (dir.empty()) {
        std::string home = Environment("HOME");
        dir = WithoutTrailingSeparator(home.empty() ? "/" : home) + "/.config";
    }
    dir = WithoutTrailingSeparator(dir);
    MakeDirectories(dir);
    return dir;
}

std::string SettingsFilePath() {
    std::string dir = ConfigDirectory();
    if (dir.empty() || dir.back() != kPathSeparator)
        dir += kPathSeparator;
    return dir + "signposter.ini";
}

std::string TempDirectory() {
    std::string dir = Environment("TMPDIR");
    if (dir.empty())
        dir = "/tmp";
    return WithoutTrailingSeparator(dir);
}

}  // namespace signposter::platform
