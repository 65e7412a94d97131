#include "platform/directories.h"

#include "platform/exceptions.h"
#include "platform/files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

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

// A directory of this user's that no one else may write to (not a link to one).
bool IsPrivateDirectory(const std::string& dir) {
    struct stat st {};
    return ::lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
           (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Another local user can make /tmp/signposter-<uid> first; a directory under a name nobody can guess
// then takes its place, made afresh should it vanish (a clean-up of /tmp). Said once per run.
std::string FreshPrivateDirectory(const std::string& taken) {
    static std::mutex mutex;
    static std::string made;
    const std::lock_guard<std::mutex> lock(mutex);
    if (!made.empty() && IsPrivateDirectory(made))
        return made;
    std::string pattern = taken + "-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw EFCreateError("Cannot create directory " + pattern);
    const bool first = made.empty();
    made = pattern;
    if (first) {
        std::fprintf(stderr, "Temporary directory %s is not this user's own; using %s instead\n",
                     taken.c_str(), made.c_str());
    }
    return made;
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
    const bool made = ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
    if (runtime.empty() && (!made || !IsPrivateDirectory(dir)))
        return FreshPrivateDirectory(dir);
    if (!made)
        throw EFCreateError("Cannot create directory " + dir);
    // The runtime directory is the user's own: only the user can have spoilt it, and is told how.
    if (!IsPrivateDirectory(dir)) {
        throw EFCreateError(
            "Temporary directory " + dir +
            " is not private: it must be a directory of this user that others cannot write to");
    }
    return dir;
}

}  // namespace signposter::platform
