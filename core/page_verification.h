#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "core/live_settings.h"
#include "core/page_fetcher.h"
#include "core/program_state.h"
#include "core/user_interface.h"

// Whether visitors get the page that was uploaded, and when the page is due to be published again.
namespace signposter {

enum class MatchRule {
    Exact,     // the served page is the uploaded one
    Contains,  // the uploaded page occurs in the served one (hosts that wrap pages in a banner)
};

// "Exact" or "Contains", letter case ignored; empty text is Exact. Nothing for any other text.
std::optional<MatchRule> ParseMatchRule(const std::string& text);

// Both pages without any CR: an ASCII-mode upload lets the server change line ends (CR LF stored as LF,
// or CR dropped), and nothing else may differ.
std::string WithoutCarriageReturns(std::string_view text);

// Nothing when `served` matches `uploaded` under `rule`; otherwise the difference in words, e.g. "the
// served page differs from the uploaded one at line 3".
std::optional<std::string> CompareServedPage(std::string_view served, std::string_view uploaded, MatchRule rule);

// One fetch of `url` and the comparison: nothing on a match, otherwise the reason.
std::optional<std::string> VerifyOnce(PageFetcher& fetcher, const std::string& url, const std::string& page,
                                      MatchRule rule);

// What `signposter-cli verify` and the settings dialog show.
struct VerifyResult {
    bool match = false;
    std::string text;  // "match", or "verification failed: <reason>"
};

// Fetches state.VerifyURL once and compares it with `page` (the page a publication would upload now).
VerifyResult CheckServedPage(PageFetcher& fetcher, const ProgramState& state, const std::string& page);
// The same with the page built as a publication would build it now: the address page for
// state.CurrentIP, or the bytes of `pageFile` when given. Raises "Cannot open file %s" for an unreadable
// page file; a missing user template is told to `ui` and gives no match.
VerifyResult VerifyPublishedPage(const LiveSettings& fields, ProgramState& state, UserInterface& ui,
                                 PageFetcher& fetcher, const std::optional<std::string>& pageFile = std::nullopt);

// The validation messages of VerifyURL, VerifyMatch and RepublishHours, each ended by a CR; only keys the
// user set can give one.
std::string VerificationSettingsMessages(const ProgramState& state);

// A year: a page left alone longer than that is forgotten by any host that drops abandoned pages.
inline constexpr int kMaxRepublishHours = 8760;

// "LastPublished" as stored: decimal UTC seconds. Nothing for anything else (taken as absent).
std::optional<std::int64_t> ParseLastPublished(const std::string& text);

}  // namespace signposter
