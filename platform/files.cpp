#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "platform/exceptions.h"

namespace signposter::platform {

namespace {

// Closes the descriptor when it leaves scope; retries interrupted writes and closes.
class Descriptor {
public:
    explicit Descriptor(int fd) : m_fd(fd) {}
    ~Descriptor() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_fd; }
    bool Close() {
        const int fd = m_fd;
        m_fd = -1;
        return ::close(fd) == 0 || errno == EINTR;
    }

private:
    int m_fd;
};

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

bool IsReadOnlyFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

std::string ReadWholeFile(const std::string& path) {
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0)
        RaiseCannotOpenFile(path);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || S_ISDIR(st.st_mode))
        RaiseCannotOpenFile(path);
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

void ReplaceFileAtomically(const std::string& path, const std::string& bytes, unsigned newFileMode) {
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    // A settings file kept elsewhere behind a symbolic link: replace the file it points to, not the link.
    std::string target = path;
    if (exists) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
        }
    }
    if (exists && (!S_ISREG(old.st_mode) || (old.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0)) {
        RaiseCannotCreateFile(path);
    }
    const std::string dir = ParentDirectory(target);
    if (!exists)
        MakeDirectories(dir);
    // The temporary name lives beside the target so that the rename stays on one file system.
    std::string temp = target + ".XXXXXX";
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
}

}  // namespace signposter::platform
