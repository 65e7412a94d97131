#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "core/program_state.h"
#include "core/user_interface.h"

namespace signposter {

// What `signposter-cli status` tells of the last publication, kept in the settings file by the program:
// LastOutcome (published, failed, or refused: failed for good and waiting for new settings),
// LastOutcomeTime (UTC seconds), LastOutcomeText (the line the user was shown), LastPublishedAddress and
// LastPublished for the last success, NextRetry (UTC seconds) while a failed one waits for its retry.
//
// A file without these keys stays byte for byte as it was while publications succeed: the record starts
// with the first failure (which writes PendingPublication too) and is kept up to date from then on.
// Published and failed publications are recorded; skipped ones leave the record as it is. A file that is
// missing or read-only is not written, and a record that cannot be written is given up quietly: the
// saves that matter report that file themselves.
void RecordOutcome(ProgramState& state, const std::string& settingsPath, const PublicationOutcome& outcome,
                   std::optional<std::int64_t> msUntilRetry, std::time_t now);

// The record as the file held it when `state` was loaded, for the status.
struct PublicationRecord {
    std::string outcome;  // "", published, failed or refused
    std::optional<std::int64_t> when;
    std::string text;
    std::string publishedAddress;
    std::optional<std::int64_t> publishedWhen;
    std::optional<std::int64_t> nextRetry;
};
PublicationRecord RecordOf(const ProgramState& state);

}  // namespace signposter
