#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include "platform/descriptor.h"
#include "platform/exceptions.h"

namespace signposter::platform {

namespace {

// What the temporary file of a save is called: the target's name, this, and six random characters.
constexpr char kSavingInfix[] = ".saving-";

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string ParentDirectory(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

// Where a chain of symbolic links at `path` ends (the path itself when it is no link); relative link
// texts count from the link's own directory. Gives up after a few links, as the system would.
std::string LinkTarget(std::string path) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return path;
        std::string text(4096, '\0');
        const ssize_t n = ::readlink(path.c_str(), text.data(), text.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= text.size())
            return path;
        text.resize(static_cast<std::size_t>(n));
        path = text.front() == '/' ? text : ParentDirectory(path) + "/" + text;
    }
    return path;
}

// A save killed between creating its temporary file and renaming it leaves the file behind. Ours are
// named after the target plus ".saving-" and six letters or digits; earlier versions used "." and the six
// characters alone, and of those only names mixing letters and digits are taken for ours, so that a user's
// "signposter.ini.backup" is never touched. Only files owned by us and older than a minute (no save takes
// that long, so none of them is still being written) are removed.
bool IsOurTemporary(const std::string& name, const std::string& target) {
    auto randomPart = [](std::string_view s) {
        return s.size() == 6 &&
               std::all_of(s.begin(), s.end(), [](unsigned char c) { return std::isalnum(c); });
    };
    const std::string current = target + kSavingInfix;
    if (name.compare(0, current.size(), current) == 0)
        return randomPart(std::string_view(name).substr(current.size()));
    const std::string legacy = target + ".";
    if (name.compare(0, legacy.size(), legacy) != 0)
        return false;
    const std::string_view rest = std::string_view(name).substr(legacy.size());
    return randomPart(rest) &&
           std::any_of(rest.begin(), rest.end(), [](unsigned char c) { return std::isdigit(c); }) &&
           std::any_of(rest.begin(), rest.end(), [](unsigned char c) { return std::isalpha(c); });
}

void RemoveStaleTemporaries(const std::string& target) {
    namespace fs = std::filesystem;
    const std::string base = fs::path(target).filename().string();
    const std::time_t now = std::time(nullptr);
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(ParentDirectory(target), error)) {
        if (!IsOurTemporary(entry.path().filename().string(), base))
            continue;
        struct stat st {};
        if (::lstat(entry.path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
            continue;
        if (now - st.st_mtime > 60)
            ::unlink(entry.path().c_str());
    }
}

}  // namespace

void MakeDirectories(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path prefix;
    for (const fs::path& part : fs::path(path)) {
        prefix /= part;
        if (part.empty() || part == prefix.root_path())
            continue;
        // Only what is made here is made private; directories that exist keep their modes.
        if (fs::create_directory(prefix, error))
            fs::permissions(prefix, fs::perms::owner_all, fs::perm_options::replace, error);
        else if (error)
            return;
    }
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::vector<std::int64_t> FileStamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return {static_cast<std::int64_t>(st.st_dev),          static_cast<std::int64_t>(st.st_ino),
            static_cast<std::int64_t>(st.st_size),         static_cast<std::int64_t>(st.st_mtim.tv_sec),
            static_cast<std::int64_t>(st.st_mtim.tv_nsec), static_cast<std::int64_t>(st.st_ctim.tv_sec),
            static_cast<std::int64_t>(st.st_ctim.tv_nsec)};
}

bool IsReadOnlyFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

std::string ReadWholeFile(const std::string& path, unsigned* modeBits) {
    // Not blocking: opening a FIFO would otherwise wait for a writer for ever. Only regular files are
    // read; a device such as /dev/zero would never end.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
        RaiseCannotOpenFile(path);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode))
        RaiseCannotOpenFile(path);
    if (modeBits)
        *modeBits = st.st_mode & 07777;
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            RaiseCannotOpenFile(path);
        if (n == 0)
            break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& bytes) {
    Descriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (fd.Get() < 0 || !WriteAll(fd.Get(), bytes) || !fd.Close())
        RaiseCannotCreateFile(path);
}

namespace {

void Replace(const std::string& path, const std::string& bytes, unsigned newFileMode, bool followLinks) {
    struct stat old {};
    const bool exists = (followLinks ? ::stat(path.c_str(), &old) : ::lstat(path.c_str(), &old)) == 0;
    // A settings file kept elsewhere behind a symbolic link: replace the file it points to, not the link.
    // A dangling link names the file to create.
    std::string target = path;
    if (followLinks)
        target = LinkTarget(path);
    if (exists && (!S_ISREG(old.st_mode) || (old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)) {
        RaiseCannotCreateFile(path);
    }
    const std::string dir = ParentDirectory(target);
    if (!exists && followLinks)
        MakeDirectories(dir);
    // The temporary name lives beside the target so that the rename stays on one file system.
    std::string temp = target + kSavingInfix + "XXXXXX";
    Descriptor fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.Get() < 0)
        RaiseCannotCreateFile(path);
    const mode_t mode = exists ? (old.st_mode & 07777) : static_cast<mode_t>(newFileMode);
    // Keep the owner too where we may (a save by root of a user's file must not take it from the user).
    if (exists && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
        [[maybe_unused]] const int ignored = ::fchown(fd.Get(), old.st_uid, old.st_gid);
    }
    const bool written = ::fchmod(fd.Get(), mode) == 0 && WriteAll(fd.Get(), bytes) && ::fsync(fd.Get()) == 0;
    if (!written || !fd.Close() || ::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        RaiseCannotCreateFile(path);
    }
    // Make the rename itself durable; a failure here cannot lose the new content any more.
    Descriptor dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dirFd.Get() >= 0)
        ::fsync(dirFd.Get());
    RemoveStaleTemporaries(target);
}

}  // namespace

void ReplaceFileAtomically(const std::string& path, const std::string& bytes, unsigned newFileMode) {
    Replace(path, bytes, newFileMode, true);
}

void ReplaceFileInPlace(const std::string& path, const std::string& bytes, unsigned newFileMode) {
    Replace(path, bytes, newFileMode, false);
}

}  // namespace signposter::platform
