#include "core/page_verification.h"

#include <algorithm>
#include <charconv>

#include "core/address_family.h"
#include "core/page_builder.h"
#include "platform/files.h"
#include "platform/text.h"

namespace signposter {

std::optional<MatchRule> ParseMatchRule(const std::string& text) {
    const std::string upper = text::UpperAscii(text::Trim(text));
    if (upper.empty() || upper == "EXACT")
        return MatchRule::Exact;
    if (upper == "CONTAINS")
        return MatchRule::Contains;
    return std::nullopt;
}

std::string WithoutCarriageReturns(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        if (c != '\r')
            out += c;
    }
    return out;
}

std::optional<std::string> CompareServedPage(std::string_view served, std::string_view uploaded,
                                             MatchRule rule) {
    const std::string page = WithoutCarriageReturns(uploaded);
    const std::string body = WithoutCarriageReturns(served);
    if (body.empty() && !page.empty())
        return std::string("the served page is empty");
    if (rule == MatchRule::Contains) {
        if (body.find(page) != std::string::npos)
            return std::nullopt;
        return std::string("the served page does not contain the uploaded one");
    }
    if (body == page)
        return std::nullopt;
    // The first line (counted from 1) where they part; a page cut short parts where it ends.
    const auto [pageEnd, bodyEnd] = std::mismatch(page.begin(), page.end(), body.begin(), body.end());
    const auto line = 1 + std::count(page.begin(), pageEnd, '\n');
    return "the served page differs from the uploaded one at line " + std::to_string(line);
}

std::optional<std::string> VerifyOnce(PageFetcher& fetcher, const std::string& url, const std::string& page,
                                      MatchRule rule) {
    const FetchedPage fetched = fetcher.Fetch(url);
    if (!fetched.body)
        return fetched.problem;
    return CompareServedPage(*fetched.body, page, rule);
}

VerifyResult CheckServedPage(PageFetcher& fetcher, const ProgramState& state, const std::string& page) {
    const auto problem = VerifyOnce(fetcher, state.VerifyURL, page,
                                    ParseMatchRule(state.VerifyMatch).value_or(MatchRule::Exact));
    if (!problem)
        return {true, "match"};
    return {false, "verification failed: " + *problem};
}

VerifyResult VerifyPublishedPage(const LiveSettings& fields, ProgramState& state, UserInterface& ui,
                                 PageFetcher& fetcher, const std::optional<std::string>& pageFile) {
    std::string page;
    if (pageFile) {
        page = platform::ReadWholeFile(*pageFile);
    } else {
        SetLocalPageFile(fields, state);
        auto built = BuildAddressPage(fields, state, ui, PublishedAddress(state));
        if (!built)
            return {false, "verification failed: user template file not found"};
        page = std::move(*built);
    }
    return CheckServedPage(fetcher, state, page);
}

std::string VerificationSettingsMessages(const ProgramState& state) {
    std::string messages;
    const std::string url = text::UpperAscii(text::Trim(state.VerifyURL));
    if (!url.empty() && url.rfind("HTTP://", 0) != 0 && url.rfind("HTTPS://", 0) != 0)
        messages += "Verify URL must start with http:// or https://\r";
    if (!ParseMatchRule(state.VerifyMatch))
        messages += "Verify match must be Exact or Contains\r";
    if (state.RepublishHours < 0 || state.RepublishHours > kMaxRepublishHours)
        messages += "Republish hours must be 0 to " + std::to_string(kMaxRepublishHours) + "\r";
    return messages;
}

std::optional<std::int64_t> ParseLastPublished(const std::string& text) {
    const std::string digits = text::Trim(text);
    std::int64_t value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || value < 0)
        return std::nullopt;
    return value;
}

}  // namespace signposter
