#include "platform/directories.h"

#include "platform/exceptions.h"
#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

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
    // A directory the user chose is taken as it is.
    const std::string chosen = Environment("TMPDIR");
    if (!chosen.empty())
        return WithoutTrailingSeparator(chosen);
    // Otherwise one of the user's own, so that no other user can plant a link or a FIFO under the page's
    // name, or hold the name so that this user cannot publish at all.
    const std::string runtime = Environment("XDG_RUNTIME_DIR");
    const std::string dir = runtime.empty() ? "/tmp/signposter-" + std::to_string(::geteuid())
                                            : WithoutTrailingSeparator(runtime) + "/signposter";
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        throw EFCreateError("Cannot create directory " + dir);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        throw EFCreateError(
            "Temporary directory " + dir +
            " is not private: it must be a directory of this user that others cannot write to");
    }
    return dir;
}

}  // namespace signposter::platform
