#include "core/ini_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/exceptions.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter {

namespace {

// The store's file is created with permissions for its owner only: it holds the FTP password.
constexpr unsigned kNewSettingsFileMode = 0600;

struct Store {
    std::string path;
    LineList lines;
};

Store& TheStore() {
    static Store store;
    return store;
}

// One store for the whole process, so one thread at a time holds it from IniOpen to IniClose, whichever
// thread of the program that is.
std::mutex& StoreMutex() {
    static std::mutex mutex;
    return mutex;
}
std::atomic<std::thread::id> g_holder{};

// And one process at a time across the machine: every user of the store reads, changes and writes the
// whole file, so two programs changing it at once would each write the other's change away. An advisory
// lock on a file beside it, since the settings file itself is replaced by a rename at every save and a
// lock on it would be left behind on the old file.
int g_lockFd = -1;

// Long enough for any other program's read-modify-write of a small local file; a program that holds the
// lock longer (stopped in a debugger, or not ours) must not stop this one from saving for ever.
constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockRetry = std::chrono::milliseconds(10);

void LockFile(const std::string& path) {
    // No lock where none can be made (a directory still missing, a read-only one): then nothing is written
    // there either.
    const int fd = ::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return;
    const auto giveUp = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() >= giveUp) {
            ::close(fd);
            return;
        }
        std::this_thread::sleep_for(kLockRetry);
    }
    g_lockFd = fd;
}

void UnlockFile() {
    if (g_lockFd >= 0)
        ::close(g_lockFd);  // closing the only descriptor releases the lock
    g_lockFd = -1;
}

// Ends the holding thread's hold; anything else (a close without an open) leaves the store as it is.
void Release() {
    if (g_holder.load() != std::this_thread::get_id())
        return;
    UnlockFile();
    g_holder.store(std::thread::id());
    StoreMutex().unlock();
}

std::string CompareForm(std::string_view name) {
    return text::UpperAscii(text::TrimSpaces(name));
}

bool IsSectionHeader(const std::string& line) {
    return line.find('[') != std::string::npos && line.find(']') != std::string::npos;
}

std::string SectionName(const std::string& line) {
    std::string rest = line.substr(line.find('[') + 1);
    const std::size_t close = rest.find(']');
    if (close != std::string::npos)
        rest.erase(close);
    return rest;
}

// Key and value of a line with "=", or nothing.
struct KeyLine {
    std::string key;
    std::string value;
};
std::optional<KeyLine> SplitKeyLine(const std::string& line) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos)
        return std::nullopt;
    return KeyLine{text::TrimSpaces(std::string_view(line).substr(0, eq)),
                   text::TrimSpaces(std::string_view(line).substr(eq + 1))};
}

std::optional<std::size_t> FindSection(const LineList& lines, const std::string& section) {
    const std::string wanted = CompareForm(section);
    for (std::size_t i = 0; i < lines.Count(); ++i) {
        if (IsSectionHeader(lines[i]) && CompareForm(SectionName(lines[i])) == wanted)
            return i;
    }
    return std::nullopt;
}

// A file that already holds exactly these bytes is left alone: every save is flushed to disk, and a start
// of the program (whose loading ends with a save) or a save of unchanged settings would otherwise wait for
// the disk for nothing. A read-only file still refuses the save, as a write would.
void Save(const Store& store) {
    const std::string text = store.lines.Text();
    if (platform::FileExists(store.path) && !platform::IsReadOnlyFile(store.path)) {
        try {
            if (platform::ReadWholeFile(store.path) == text)
                return;
        } catch (const Exception&) {
            // Unreadable: replace it.
        }
    }
    platform::ReplaceFileAtomically(store.path, text, kNewSettingsFileMode);
}

}  // namespace

void IniOpen(const std::string& path) {
    Store& store = TheStore();
    if (g_holder.load() != std::this_thread::get_id()) {
        StoreMutex().lock();
        g_holder.store(std::this_thread::get_id());
    } else if (store.path != path) {
        // Opened again without a close: the store is replaced, and so is the file it stands for.
        UnlockFile();
    }
    try {
        if (g_lockFd < 0)
            LockFile(path);
        store.path = path;
        store.lines.Clear();
        if (platform::FileExists(path))
            store.lines.LoadFromFile(path);
    } catch (...) {
        store.lines.Clear();
        Release();
        throw;
    }
}

std::string IniReadString(const std::string& section, const std::string& key,
                          const std::string& defaultValue) {
    const LineList& lines = TheStore().lines;
    const auto header = FindSection(lines, section);
    if (!header)
        return defaultValue;
    const std::string wanted = CompareForm(key);
    for (std::size_t i = *header + 1; i < lines.Count(); ++i) {
        const auto keyLine = SplitKeyLine(lines[i]);
        if (keyLine && CompareForm(keyLine->key) == wanted)
            return keyLine->value;
        // Our choice where the read's scan ends: at the next section header that is not itself a key line.
        // A key missing from its section is then not answered from a later one, while a value holding
        // brackets (a template path such as /srv/[site]/page.htm) does not end the section early.
        if (!keyLine && IsSectionHeader(lines[i]))
            break;
    }
    return defaultValue;
}

std::int32_t IniReadInteger(const std::string& section, const std::string& key, std::int32_t defaultValue) {
    return text::LenientInteger(IniReadString(section, key, std::to_string(defaultValue)));
}

namespace {

// Changes or adds the key line in the store's lines, without saving.
void SetKeyLine(LineList& lines, const std::string& section, const std::string& key,
                const std::string& value) {
    std::size_t header;
    if (const auto found = FindSection(lines, section)) {
        header = *found;
    } else {
        lines.Add("");
        lines.Add("[" + section + "]");
        header = lines.Count() - 1;
    }

    const std::string wanted = CompareForm(key);
    std::optional<std::size_t> stoppedAt;
    for (std::size_t i = header + 1; i < lines.Count(); ++i) {
        if (const auto keyLine = SplitKeyLine(lines[i]); keyLine && CompareForm(keyLine->key) == wanted) {
            lines[i] = keyLine->key + "=" + value;
            return;
        }
        // Only a "[" in the key part (before the first "=", or anywhere in a line without one) ends the
        // scan: a value such as "h[1]" or "[2001:db8::1]" must not, or every save would add its keys again.
        const std::string& line = lines[i];
        if (line.substr(0, line.find('=')).find('[') != std::string::npos) {
            stoppedAt = i;
            break;
        }
    }

    std::string newLine = key + "=" + value;
    if (stoppedAt) {
        // Before the line that precedes the next header (normally the blank separator). Our choice when the
        // next header follows this one directly: right after our own header, so the key stays in its section.
        lines.Insert(std::max(*stoppedAt - 1, header + 1), std::move(newLine));
    } else {
        lines.Add(std::move(newLine));
    }
}

}  // namespace

void IniWriteString(const std::string& section, const std::string& key, const std::string& value) {
    Store& store = TheStore();
    SetKeyLine(store.lines, section, key, value);
    Save(store);
}

void IniWriteStrings(const std::string& section,
                     const std::vector<std::pair<std::string, std::string>>& values) {
    Store& store = TheStore();
    for (const auto& [key, value] : values) SetKeyLine(store.lines, section, key, value);
    Save(store);
}

void IniDeleteKey(const std::string& section, const std::string& key) {
    Store& store = TheStore();
    const auto header = FindSection(store.lines, section);
    if (!header)
        return;
    const std::string wanted = CompareForm(key);
    for (std::size_t i = *header + 1; i < store.lines.Count(); ++i) {
        const auto keyLine = SplitKeyLine(store.lines[i]);
        if (keyLine && CompareForm(keyLine->key) == wanted) {
            std::vector<std::string> lines = store.lines.Lines();
            lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(i));
            store.lines = LineList(std::move(lines));
            Save(store);
            return;
        }
        if (!keyLine && IsSectionHeader(store.lines[i]))
            return;
    }
}

void IniWriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
    IniWriteString(section, key, std::to_string(value));
}

void IniClose() {
    Store& store = TheStore();
    struct Releaser {
        Store& s;
        ~Releaser() {
            s.lines.Clear();
            Release();
        }
    } release{store};
    // A missing file has no attributes to read, so a store that was only read never creates it.
    if (platform::FileExists(store.path) && !platform::IsReadOnlyFile(store.path))
        Save(store);
}

const LineList& IniLines() {
    return TheStore().lines;
}

}  // namespace signposter
