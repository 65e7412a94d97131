// `autostart on|off|status`: start the tray program with the desktop session, by the XDG autostart
// convention (a desktop entry in the user's autostart directory).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/cli/commands.h"
#include "platform/directories.h"
#include "platform/files.h"

namespace signposter::cli {

namespace {

constexpr char kAutostartUsage[] = "usage: signposter-cli autostart on|off|status\n";

std::string AutostartDirectory() {
    return platform::ConfigDirectory() + platform::kPathSeparator + "autostart";
}

std::string AutostartFile() {
    return AutostartDirectory() + platform::kPathSeparator + "signposter.desktop";
}

// The tray program is installed beside this one, in /usr/bin or in a build tree alike.
std::string TrayProgramPath() {
    char self[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return {};
    std::string path(self, static_cast<std::size_t>(length));
    path.erase(path.rfind(platform::kPathSeparator) + 1);
    return path + "signposter";
}

// One program path as the Exec key wants it: quoted when it holds a reserved character, with the
// quoting backslashes doubled again for the key file's own escapes, and '%' (a field code) doubled.
std::string ExecValue(const std::string& path) {
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

// A desktop session treats an entry marked Hidden as removed; the user may have set it there.
bool AutostartOn() {
    const std::string path = AutostartFile();
    if (!platform::FileExists(path))
        return false;
    const std::string text = platform::ReadWholeFile(path);
    return text.find("\nHidden=true") == std::string::npos;
}

int TurnOn() {
    const std::string program = TrayProgramPath();
    if (program.empty() || ::access(program.c_str(), X_OK) != 0) {
        std::fprintf(stderr, "signposter-cli autostart: the tray program %s is missing\n", program.c_str());
        return 1;
    }
    if (program.find_first_of("\r\n") != std::string::npos) {
        std::fprintf(stderr, "signposter-cli autostart: a desktop entry cannot name %s\n", program.c_str());
        return 1;
    }
    const std::string dir = AutostartDirectory();
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "signposter-cli autostart: cannot create %s: %s\n", dir.c_str(),
                     std::strerror(errno));
        return 1;
    }
    // The tray program starts with nothing but its tray icon, so starting it at login shows no window.
    std::string entry =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Signposter\n"
        "Comment=Publish this computer's changing address as a web page\n";
    entry += "Exec=" + ExecValue(program) + "\n";
    entry += "Icon=signposter\nTerminal=false\n";
    platform::ReplaceFileAtomically(AutostartFile(), entry);
    return 0;
}

int TurnOff() {
    const std::string path = AutostartFile();
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        std::fprintf(stderr, "signposter-cli autostart: cannot remove %s: %s\n", path.c_str(),
                     std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int RunAutostart(Context&, const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "on")
        return TurnOn();
    if (args.size() == 1 && args[0] == "off")
        return TurnOff();
    if (args.size() == 1 && args[0] == "status") {
        std::printf("%s\n", AutostartOn() ? "on" : "off");
        return 0;
    }
    std::fputs(kAutostartUsage, stderr);
    return 2;
}

}  // namespace signposter::cli
