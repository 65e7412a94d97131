#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/clock.h"
#include "core/program_state.h"

namespace signposter {

// The whole fetch of the published page, redirects included. A web host that serves a static page answers
// in well under a second; 10 s covers a slow free host and still lets the publication report in time.
inline constexpr int kVerifyFetchTimeoutMs = 10'000;
// A redirect page is under 1 KiB and a user's own template rarely reaches 100 KiB; a body over 1 MiB is
// not the page, and reading it would only hold the program up.
inline constexpr std::size_t kVerifyMaxBodyBytes = 1024 * 1024;

// What one fetch of the published page gave: the body, or why there is none.
struct FetchedPage {
    std::optional<std::string> body;
    std::string problem;  // without a body: "HTTP 404 Not Found from URL", "no answer within 10 s", ...
};

// How the publisher reaches the page visitors get. Tests give it a fake.
class PageFetcher {
public:
    virtual ~PageFetcher() = default;
    // One GET of `url` as a visitor's browser would make it, past every cache. Never raises: every failure
    // (a stop request too) comes back as the problem.
    virtual FetchedPage Fetch(const std::string& url) = 0;
};

// Over the program's HTTP client, every wait on `clock`; https is trusted through the system store and the
// settings' TlsTrustFile, read at each fetch.
class HttpPageFetcher final : public PageFetcher {
public:
    HttpPageFetcher(const Clock& clock, const ProgramState& state) : m_clock(clock), m_state(state) {}
    FetchedPage Fetch(const std::string& url) override;

private:
    const Clock& m_clock;
    const ProgramState& m_state;
};

}  // namespace signposter
