#pragma once

#include <string>
#include <vector>

#include "core/program_state.h"

namespace signposter {

// The settings the main window has no field for (connection security, address source, verification of the
// published page): LoadSettings reads
// them into the program-wide values and SaveSettings never writes them. The settings dialog edits them as
// one set.
struct ExtendedSettings {
    std::string FtpSecurity;
    std::string TlsTrustFile;
    std::string TlsFingerprint;
    std::string AddressSource;
    std::string AddressInterface;
    std::string AddressURL;
    int AddressPollSeconds = 0;  // 0: the source's default
    bool PublishPrivate = false;
    std::string VerifyURL;
    std::string VerifyMatch;
    int RepublishHours = 0;  // 0: off

    static ExtendedSettings From(const ProgramState& state);
    bool operator==(const ExtendedSettings&) const = default;
};

// One message of validation, with the settings key it is about.
struct SettingProblem {
    std::string key;
    std::string message;
};

// What validation says of these keys, in the order ValidateSettings reports it; only a key the user set
// can give a message, and the address keys only for the chosen source.
std::vector<SettingProblem> ExtendedSettingsProblems(const ProgramState& state);

// The keys whose values differ between `before` and `after`, with their values as the file holds them
// (in the order of the fields above). An unchanged key is not written, so the file keeps what the user
// wrote by hand, and a file without these keys stays without them.
std::vector<std::pair<std::string, std::string>> ChangedKeys(const ExtendedSettings& before,
                                                             const ExtendedSettings& after);

// Writes the changed keys into the settings file in one atomic save and then takes them into `state`, so
// the next tick and the next publication use them. Raises the store's "Cannot create file %s" (and leaves
// `state` as it was) when the file cannot be written.
void ApplyExtendedSettings(const std::string& settingsPath, ProgramState& state,
                           const ExtendedSettings& before, const ExtendedSettings& after);

}  // namespace signposter
