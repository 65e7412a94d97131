#include "core/extended_settings.h"

#include "core/address_source.h"
#include "core/ini_store.h"
#include "core/page_verification.h"
#include "core/settings.h"
#include "ftp/tls_settings.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter {

ExtendedSettings ExtendedSettings::From(const ProgramState& state) {
    ExtendedSettings settings;
    settings.FtpSecurity = state.FtpSecurity;
    settings.TlsTrustFile = state.TlsTrustFile;
    settings.TlsFingerprint = state.TlsFingerprint;
    settings.AddressSource = state.AddressSource;
    settings.AddressInterface = state.AddressInterface;
    settings.AddressURL = state.AddressURL;
    settings.AddressPollSeconds = state.AddressPollSeconds;
    settings.PublishPrivate = state.PublishPrivate;
    settings.VerifyURL = state.VerifyURL;
    settings.VerifyMatch = state.VerifyMatch;
    settings.RepublishHours = state.RepublishHours;
    return settings;
}

std::vector<SettingProblem> ExtendedSettingsProblems(const ProgramState& state) {
    std::vector<SettingProblem> problems;
    if (!ftp::ParseFtpSecurity(state.FtpSecurity))
        problems.push_back({"FtpSecurity", "Unknown FtpSecurity value"});
    const std::string trustFile = text::Trim(state.TlsTrustFile);
    if (!trustFile.empty() && !platform::FileExists(trustFile))
        problems.push_back({"TlsTrustFile", "TLS trust file not found"});
    if (!ftp::NormalizeFingerprint(state.TlsFingerprint))
        problems.push_back({"TlsFingerprint", "TLS fingerprint must be 64 hex digits"});
    switch (ParseSourceKind(state.AddressSource)) {
        case SourceKind::Unknown:
            problems.push_back({"AddressSource", "Unknown AddressSource value"});
            break;
        case SourceKind::Interface:
            if (text::Trim(state.AddressInterface).empty())
                problems.push_back({"AddressInterface", "No address interface"});
            break;
        case SourceKind::Web:
            if (text::Trim(state.AddressURL).empty())
                problems.push_back({"AddressURL", "No address URL"});
            // The TLS layer will accept https:// here too.
            else if (text::UpperAscii(state.AddressURL.substr(0, 7)) != "HTTP://")
                problems.push_back({"AddressURL", "Address URL must start with http://"});
            break;
        case SourceKind::HostName:
        case SourceKind::UPnP:
            break;
    }
    // The verification keys one at a time, so that each message comes with its key; the messages are
    // those of the verification's own check.
    auto verification = [&problems](const char* key, const ProgramState& alone) {
        for (const std::string& message : text::SplitLines(VerificationSettingsMessages(alone)))
            if (!message.empty())
                problems.push_back({key, message});
    };
    ProgramState alone;
    alone.VerifyURL = state.VerifyURL;
    verification("VerifyURL", alone);
    alone = {};
    alone.VerifyMatch = state.VerifyMatch;
    verification("VerifyMatch", alone);
    alone = {};
    alone.RepublishHours = state.RepublishHours;
    verification("RepublishHours", alone);
    return problems;
}

std::vector<std::pair<std::string, std::string>> ChangedKeys(const ExtendedSettings& before,
                                                             const ExtendedSettings& after) {
    std::vector<std::pair<std::string, std::string>> changed;
    auto text = [&changed](const char* key, const std::string& was, const std::string& now) {
        if (was != now)
            changed.emplace_back(key, now);
    };
    text("FtpSecurity", before.FtpSecurity, after.FtpSecurity);
    text("TlsTrustFile", before.TlsTrustFile, after.TlsTrustFile);
    text("TlsFingerprint", before.TlsFingerprint, after.TlsFingerprint);
    text("AddressSource", before.AddressSource, after.AddressSource);
    text("AddressInterface", before.AddressInterface, after.AddressInterface);
    text("AddressURL", before.AddressURL, after.AddressURL);
    if (before.AddressPollSeconds != after.AddressPollSeconds)
        changed.emplace_back("AddressPollSeconds", after.AddressPollSeconds == 0
                                                       ? std::string()
                                                       : std::to_string(after.AddressPollSeconds));
    if (before.PublishPrivate != after.PublishPrivate)
        changed.emplace_back("PublishPrivate", after.PublishPrivate ? "1" : "0");
    text("VerifyURL", before.VerifyURL, after.VerifyURL);
    text("VerifyMatch", before.VerifyMatch, after.VerifyMatch);
    if (before.RepublishHours != after.RepublishHours)
        changed.emplace_back("RepublishHours", after.RepublishHours == 0
                                                   ? std::string()
                                                   : std::to_string(after.RepublishHours));
    return changed;
}

void ApplyExtendedSettings(const std::string& settingsPath, ProgramState& state,
                           const ExtendedSettings& before, const ExtendedSettings& after) {
    const auto changed = ChangedKeys(before, after);
    if (changed.empty())
        return;
    IniOpen(settingsPath);
    try {
        IniWriteStrings(kSettingsSection, changed);
    } catch (...) {
        IniClose();
        throw;
    }
    IniClose();
    for (const auto& [key, value] : changed) {
        if (key == "FtpSecurity")
            state.FtpSecurity = after.FtpSecurity;
        else if (key == "TlsTrustFile")
            state.TlsTrustFile = after.TlsTrustFile;
        else if (key == "TlsFingerprint")
            state.TlsFingerprint = after.TlsFingerprint;
        else if (key == "AddressSource")
            state.AddressSource = after.AddressSource;
        else if (key == "AddressInterface")
            state.AddressInterface = after.AddressInterface;
        else if (key == "AddressURL")
            state.AddressURL = after.AddressURL;
        else if (key == "AddressPollSeconds")
            state.AddressPollSeconds = after.AddressPollSeconds;
        else if (key == "PublishPrivate")
            state.PublishPrivate = after.PublishPrivate;
        else if (key == "VerifyURL")
            state.VerifyURL = after.VerifyURL;
        else if (key == "VerifyMatch")
            state.VerifyMatch = after.VerifyMatch;
        else if (key == "RepublishHours")
            state.RepublishHours = after.RepublishHours;
    }
}

}  // namespace signposter
