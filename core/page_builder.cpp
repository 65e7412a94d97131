#include "core/page_builder.h"

#include "core/address_family.h"

#include "platform/directories.h"
#include "platform/files.h"

namespace signposter {

const LineList& InternalTemplate() {
    static const LineList lines({
#include "internal_template_lines.inc"
    });
    return lines;
}

const LineList& OfflinePage() {
    static const LineList lines({
        "<html>",
        "<body>",
        "<p>The Computer you are trying to connect to is currently <font size=\"4\"> Offline.</font></p>",
        "</body>",
        "</html>",
    });
    return lines;
}

std::string GetTempDir() {
    return platform::TempDirectory();
}

void SetLocalPageFile(const LiveSettings& fields, ProgramState& state) {
    state.LocalPageFile = GetTempDir() + platform::kPathSeparator + fields.Text(TextField::PageName);
}

void ReplaceMacro(LineList& lines, const std::string& macro, const std::string& replacement) {
    if (macro.empty())
        return;
    for (std::size_t i = 0; i < lines.Count(); ++i) {
        std::string line = lines[i];
        std::size_t from = 0;
        while ((from = line.find(macro, from)) != std::string::npos) {
            line.replace(from, macro.size(), replacement);
            from += replacement.size();
        }
        lines[i] = std::move(line);
    }
}

std::string AddressForUrl(const std::string& address) {
    if (address.find(':') == std::string::npos || (!address.empty() && address.front() == '['))
        return address;
    return "[" + address + "]";
}

namespace {

bool IsIPv6(const std::string& address) {
    return address.find(':') != std::string::npos;
}

std::string WritePage(const ProgramState& state, const LineList& page) {
    std::string bytes = page.Text();
    platform::ReplaceFileInPlace(state.LocalPageFile, bytes);
    return bytes;
}

}  // namespace

std::optional<std::string> BuildAddressPage(const LiveSettings& fields, const ProgramState& state,
                                            UserInterface& ui, const std::string& address) {
    LineList page = InternalTemplate();
    if (fields.Checked(Switch::InternalNoRedirect))
        page[kRedirectLineIndex].clear();
    if (fields.Checked(Switch::UserTemplate)) {
        if (!platform::FileExists(state.TemplateFile)) {
            ui.ShowMessage("Error", "User Template File Not Found - " + state.TemplateFile,
                           MessageIcon::Error);
            return std::nullopt;
        }
        // A NUL would end the page there: a template saved as UTF-32, or not text at all, is refused
        // rather than uploaded cut short.
        const auto text = LineList::TextAsUtf8(platform::ReadWholeFile(state.TemplateFile));
        if (!text || text->find('\0') != std::string::npos) {
            ui.ShowMessage("Error",
                           "User Template File Not Text - " + state.TemplateFile +
                               (text ? " (it holds a NUL byte; save it as UTF-8)" : " (broken UTF-16)"),
                           MessageIcon::Error);
            return std::nullopt;
        }
        page.SetText(*text);
    }
    ReplaceMacro(page, kAddressMacro, AddressForUrl(address));
    if (!state.AddressFamily.empty()) {
        // The page's address fills its family's macro; the other family's address is the one last
        // detected, while the family setting takes it in.
        const AddressFamily family = ChosenFamily(state);
        std::string ipv4 = family != AddressFamily::IPv6 ? state.CurrentIP : std::string();
        std::string ipv6 = family != AddressFamily::IPv4 ? state.CurrentIP6 : std::string();
        (IsIPv6(address) ? ipv6 : ipv4) = address;
        ReplaceMacro(page, kIPv4AddressMacro, IsIPv6(ipv4) ? std::string() : ipv4);
        ReplaceMacro(page, kIPv6AddressMacro, IsIPv6(ipv6) ? ipv6 : std::string());
    }
    return WritePage(state, page);
}

std::string BuildOfflinePage(const ProgramState& state) {
    return WritePage(state, OfflinePage());
}

}  // namespace signposter
