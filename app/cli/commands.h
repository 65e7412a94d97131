#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/plain_live_settings.h"
#include "core/program_state.h"
#include "core/user_interface.h"

namespace signposter::cli {

// What every subcommand gets: the loaded settings and the program-wide values. Exit status: 0 success,
// 1 the operation failed, 2 usage error or failed validation.
struct Context {
    PlainLiveSettings& fields;
    ProgramState& state;
    std::string settingsPath;
};

// SIGINT and SIGTERM request a stop: every wait ends at once; a second one ends the program at once.
void InstallStopHandlers();

int RunShow(Context& context, const std::vector<std::string>& args);
int RunSet(Context& context, const std::vector<std::string>& args);
int RunUpload(Context& context, const std::vector<std::string>& args);  // upload LOCAL REMOTE [--verbose]
int RunAddress(Context& context, const std::vector<std::string>& args);
int RunPage(Context& context, const std::vector<std::string>& args);  // page [--offline] [--address A]
int RunPublish(Context& context, const std::vector<std::string>& args);
int RunOffline(Context& context, const std::vector<std::string>& args);
int RunMonitor(Context& context, const std::vector<std::string>& args);
int RunAutostart(Context& context, const std::vector<std::string>& args);  // autostart on|off|status
int RunTlsFingerprint(Context& context, const std::vector<std::string>& args);
int RunSshFingerprint(Context& context, const std::vector<std::string>& args);
int RunVerify(Context& context, const std::vector<std::string>& args);  // verify [--page FILE]
// The settings file, the source and its answer, the last publication and what is pending; 1 when the last
// publication failed.
int RunStatus(Context& context, const std::vector<std::string>& args);

// What `monitor` says when it starts (the source, the last address, the last publication) and when it ends
// (this run's last outcome, what is still pending).
std::string MonitorStartLine(const std::string& settingsPath, const ProgramState& state);
std::string MonitorEndLine(const ProgramState& state, const std::optional<PublicationOutcome>& last);

}  // namespace signposter::cli
