#include "platform/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string_view>

#include "platform/directories.h"
#include "platform/exceptions.h"
#include "platform/files.h"

namespace signposter::platform {

namespace {

std::string AutostartDirectory() {
    return ConfigDirectory() + kPathSeparator + "autostart";
}

}  // namespace

std::string AutostartFile() {
    return AutostartDirectory() + kPathSeparator + "signposter.desktop";
}

std::string TrayProgramPath() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return {};
    std::string path(self, static_cast<std::size_t>(length));
    path.erase(path.rfind(kPathSeparator) + 1);
    return path + "signposter";
}

std::string AutostartExecValue(const std::string& path) {
    constexpr std::string_view kReserved = " \t\"'\\><~|&;$*?#()`";
    const bool quoted = path.find_first_of(kReserved) != std::string::npos;
    std::string argument;
    for (const char c : path) {
        if (c == '%')
            argument += '%';
        else if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\'))
            argument += '\\';
        argument += c;
    }
    if (quoted)
        argument = '"' + argument + '"';
    std::string value;
    for (const char c : argument) value += c == '\\' ? std::string("\\\\") : std::string(1, c);
    return value;
}

bool AutostartEnabled() {
    const std::string path = AutostartFile();
    if (!FileExists(path))
        return false;
    try {
        return ReadWholeFile(path).find("\nHidden=true") == std::string::npos;
    } catch (const Exception&) {
        return false;
    }
}

std::optional<std::string> EnableAutostart(const std::string& program) {
    if (program.empty() || ::access(program.c_str(), X_OK) != 0)
        return "the tray program " + program + " is missing";
    if (program.find_first_of("\r\n") != std::string::npos)
        return "a desktop entry cannot name " + program;
    const std::string dir = AutostartDirectory();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + dir + ": " + std::strerror(errno);
    // The tray program starts with nothing but its tray icon, so starting it at login shows no window.
    std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Signposter\n"
        "Comment=Publish this computer's changing address as a web page\n";
    entry += "Exec=" + AutostartExecValue(program) + "\n";
    entry += "Icon=signposter\nTerminal=false\n";
    try {
        ReplaceFileAtomically(AutostartFile(), entry);
    } catch (const Exception& error) {
        return error.Message();
    }
    return std::nullopt;
}

std::optional<std::string> DisableAutostart() {
    const std::string path = AutostartFile();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return "cannot remove " + path + ": " + std::strerror(errno);
    return std::nullopt;
}

}  // namespace signposter::platform
