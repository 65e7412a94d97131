#include "core/publication_record.h"

#include "core/ini_store.h"
#include "core/page_verification.h"
#include "core/settings.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter {

namespace {

// A line of the file holds one value: no line break, no "[" (which would end a write's key scan), no blank
// at either end.
std::string ForTheFile(const std::string& text) {
    std::string value = text::Trim(text::Printable(text::OneLine(text)));
    for (char& c : value) {
        if (c == '[')
            c = '(';
    }
    return value;
}

}  // namespace

void RecordOutcome(ProgramState& state, const std::string& settingsPath, const PublicationOutcome& outcome,
                   std::optional<std::int64_t> msUntilRetry, std::time_t now) {
    using Kind = PublicationOutcome::Kind;
    if (outcome.kind != Kind::Published && outcome.kind != Kind::Failed)
        return;
    if (!platform::FileExists(settingsPath) || platform::IsReadOnlyFile(settingsPath))
        return;
    const bool failed = outcome.kind == Kind::Failed;
    // Every store session replaces the file: a success with no record to update must not even open it.
    if (!failed) {
        try {
            if (!text::Contains(platform::ReadWholeFile(settingsPath), "LastOutcome="))
                return;
        } catch (const std::exception&) {
            return;
        }
    }
    const std::string when = std::to_string(static_cast<std::int64_t>(outcome.when ? outcome.when : now));
    try {
        WithIniStore(settingsPath, [&] {
            // Nothing to remember of a success while nothing has failed: the file keeps its bytes.
            if (!failed && IniReadString(kSettingsSection, "LastOutcome", "").empty())
                return;
            state.LastOutcome = !failed ? "published" : outcome.permanent ? "refused" : "failed";
            state.LastOutcomeTime = when;
            state.LastOutcomeText = ForTheFile(DescribeOutcome(outcome, false));
            state.NextRetry = failed && msUntilRetry
                                  ? std::to_string(static_cast<std::int64_t>(now) + *msUntilRetry / 1000)
                                  : "";
            std::vector<std::pair<std::string, std::string>> values = {
                {"LastOutcome", state.LastOutcome},
                {"LastOutcomeTime", state.LastOutcomeTime},
                {"LastOutcomeText", state.LastOutcomeText},
            };
            if (!failed) {
                state.LastPublishedAddress = ForTheFile(outcome.address);
                state.LastPublished = std::stoll(when);
                values.emplace_back("LastPublishedAddress", state.LastPublishedAddress);
                values.emplace_back("LastPublished", when);
            }
            if (!state.NextRetry.empty())
                values.emplace_back("NextRetry", state.NextRetry);
            else if (!IniReadString(kSettingsSection, "NextRetry", "").empty())
                IniDeleteKey(kSettingsSection, "NextRetry");
            IniWriteStrings(kSettingsSection, values);
        });
    } catch (const std::exception&) {
        // The record only informs; the publication's outcome has been reported already.
    }
}

PublicationRecord RecordOf(const ProgramState& state) {
    PublicationRecord record;
    record.outcome = state.LastOutcome;
    record.when = ParseLastPublished(state.LastOutcomeTime);
    record.text = state.LastOutcomeText;
    record.publishedAddress = state.LastPublishedAddress;
    record.publishedWhen = state.LastPublished;
    record.nextRetry = ParseLastPublished(state.NextRetry);
    return record;
}

}  // namespace signposter
