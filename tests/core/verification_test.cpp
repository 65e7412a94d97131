#include <gtest/gtest.h>

#include <deque>

#include "core/ini_store.h"
#include "core/monitor.h"
#include "core/page_verification.h"
#include "core/publisher.h"
#include "core/settings.h"
#include "support/publishing_fixture.h"
#include "support/scripted_http_server.h"

namespace signposter {
namespace {

using namespace signposter::testing;
using Kind = PublicationOutcome::Kind;

TEST(PageComparison, CarriageReturnsAloneMayDifferAndContainsAcceptsABanner) {
    const std::string page = "<html>\r\n<head>\r\n<title>x</title>\r\n</html>\r\n";
    struct Case {
        const char* what;
        std::string served;
        MatchRule rule;
        std::optional<std::string> problem;
    };
    const Case cases[] = {
        {"same bytes", page, MatchRule::Exact, {}},
        {"CR LF stored as LF", "<html>\n<head>\n<title>x</title>\n</html>\n", MatchRule::Exact, {}},
        {"stray CR dropped too", "<html>\r\r\n<head>\n<title>x</title>\n</html>\n", MatchRule::Exact, {}},
        {"empty", "", MatchRule::Exact, "the served page is empty"},
        {"empty, Contains", "", MatchRule::Contains, "the served page is empty"},
        {"stale line 3", "<html>\n<head>\n<title>y</title>\n</html>\n", MatchRule::Exact,
         "the served page differs from the uploaded one at line 3"},
        {"cut short", "<html>\n<head>\n", MatchRule::Exact, "the served page differs from the uploaded one at line 3"},
        {"one byte more at the end", page + "x", MatchRule::Exact,
         "the served page differs from the uploaded one at line 5"},
        {"banner, Exact", "<div>ad</div>\n" + page, MatchRule::Exact,
         "the served page differs from the uploaded one at line 1"},
        {"banner, Contains", "<div>ad</div>\n" + page + "<div>ad</div>", MatchRule::Contains, {}},
        {"banner around a stale page", "<div>ad</div>\n<html>\n<head>\n<title>y</title>\n</html>\n",
         MatchRule::Contains, "the served page does not contain the uploaded one"},
    };
    for (const Case& c : cases) EXPECT_EQ(CompareServedPage(c.served, page, c.rule), c.problem) << c.what;
}

TEST(PageComparison, SettingsTextsAndTheirMessages) {
    EXPECT_EQ(ParseMatchRule(""), MatchRule::Exact);
    EXPECT_EQ(ParseMatchRule(" contains "), MatchRule::Contains);
    EXPECT_EQ(ParseMatchRule("EXACT"), MatchRule::Exact);
    EXPECT_EQ(ParseMatchRule("Regex"), std::nullopt);
    const std::pair<const char*, std::optional<std::int64_t>> stamps[] = {
        {"1800000000", 1800000000}, {" 17 ", 17}, {"", {}}, {"soon", {}}, {"12x", {}}, {"-5", {}},
        {"99999999999999999999", {}}};
    for (const auto& [stored, value] : stamps) EXPECT_EQ(ParseLastPublished(stored), value) << stored;

    ProgramState state;
    EXPECT_EQ(VerificationSettingsMessages(state), "");
    state.VerifyURL = "ftp://127.0.0.1/x";
    state.VerifyMatch = "Fuzzy";
    state.RepublishHours = 8761;
    EXPECT_EQ(VerificationSettingsMessages(state),
              "Verify URL must start with http:// or https://\rVerify match must be Exact or Contains\r"
              "Republish hours must be 0 to 8760\r");
    state = {};
    state.VerifyURL = "HTTPS://127.0.0.1/x";
    state.RepublishHours = 8760;
    EXPECT_EQ(VerificationSettingsMessages(state), "");
}

// Answers each fetch from a queue; once it runs dry, the page the server stored last.
class FakePageFetcher : public PageFetcher {
public:
    FetchedPage Fetch(const std::string& url) override {
        urls.push_back(url);
        if (onFetch)
            onFetch();
        if (answers.empty())
            return {served ? served() : std::string(), ""};
        FetchedPage next = answers.front();
        answers.pop_front();
        return next;
    }
    std::deque<FetchedPage> answers;
    std::function<std::string()> served;
    std::function<void()> onFetch;
    std::vector<std::string> urls;
};

FetchedPage Problem(const std::string& text) {
    return {std::nullopt, text};
}

class VerificationTest : public PublishingFixture {
protected:
    void SetUp() override {
        PublishingFixture::SetUp();
        m_fields.SetText(TextField::Host, "127.0.0.1");
        m_fields.SetText(TextField::Port, std::to_string(m_server.Port()));
        m_fields.SetText(TextField::User, "bob");
        m_state.VerifyURL = "http://127.0.0.1:1/ipaddress.htm";
        m_fetcher.served = [this] {
            const auto uploads = m_server.Uploads();
            return uploads.empty() ? std::string() : WithoutCarriageReturns(uploads.back());
        };
        Publisher().SetPageFetcher(&m_fetcher);
    }
    std::string Path() const { return m_dir.File("signposter.ini"); }
    signposter::Publisher& Publisher() { return m_monitor.GetPublisher(); }
    const PublicationOutcome& Last() const { return m_ui.outcomes.back(); }
    // Loads the settings file as a restart would, into the same monitor's state.
    void Restart() {
        m_state = {};
        m_monitor.FormCreate();
    }

    struct Lookup : HostLookup {
        std::optional<std::string> HostName() override { return "host"; }
        std::optional<std::vector<std::string>> ResolveIPv4(const std::string&) override {
            return std::vector<std::string>{"203.0.113.7"};
        }
        std::vector<std::string> InterfaceIPv4() override { return {}; }
    } m_lookup;
    FakePageFetcher m_fetcher;
    Monitor m_monitor{m_fields, m_ui, m_state, m_lookup, m_clock, m_ftp, Path()};
};

TEST_F(VerificationTest, AServedCopyOfTheUploadIsPublishedAndVerified) {
    m_state.CurrentIP = "203.0.113.7";
    Publisher().PublishAddress();
    ASSERT_EQ(Last().kind, Kind::Published) << Last().errorMessage;
    EXPECT_TRUE(Last().verified);
    EXPECT_NE(DescribeOutcome(Last()).find("203.0.113.7 published and verified "), std::string::npos);
    EXPECT_EQ(m_fetcher.urls, std::vector<std::string>{m_state.VerifyURL});
    EXPECT_TRUE(m_clock.sleeps.empty());

    m_state.VerifyURL.clear();  // off: no fetch, the completion reply decides
    Publisher().PublishOffline();
    EXPECT_EQ(Last().kind, Kind::Published);
    EXPECT_FALSE(Last().verified);
    EXPECT_EQ(m_fetcher.urls.size(), 1u);
}

TEST_F(VerificationTest, ALateCopyIsLookedAtOnceMoreAfterFiveSeconds) {
    m_state.CurrentIP = "203.0.113.7";
    m_fetcher.answers = {{std::string("old page"), ""}};
    Publisher().PublishAddress();
    EXPECT_EQ(Last().kind, Kind::Published) << Last().errorMessage;
    EXPECT_TRUE(Last().verified);
    EXPECT_EQ(m_fetcher.urls.size(), 2u);
    EXPECT_EQ(m_clock.sleeps, std::vector<std::int64_t>{Publisher::kVerifyPauseMs});
}

TEST_F(VerificationTest, APageVisitorsDoNotGetFailsWithoutMoreUploadsAndTheRetrySucceedsLater) {
    m_state.CurrentIP = "203.0.113.7";
    const std::string notFound = "HTTP 404 Not Found from " + m_state.VerifyURL;
    m_fetcher.answers = {Problem(notFound), Problem(notFound)};
    Publisher().PublishAddress();
    ASSERT_EQ(Last().kind, Kind::Failed);
    EXPECT_TRUE(Last().verificationFailed);
    EXPECT_EQ(Last().errorMessage, "verification failed: " + notFound);
    EXPECT_EQ(Last().attempts, 1);
    EXPECT_EQ(m_server.Uploads().size(), 1u);
    EXPECT_TRUE(Last().willRetry);
    EXPECT_NE(DescribeOutcome(Last()).find("not verified"), std::string::npos);
    EXPECT_EQ(Publisher().MillisecondsUntilRetry(), Publisher::kFirstRetryMs);

    m_clock.tick += Publisher::kFirstRetryMs;
    ASSERT_TRUE(Publisher().RetryDue());
    Publisher().RetryPending();  // the host serves it now
    EXPECT_EQ(Last().kind, Kind::Published) << Last().errorMessage;
    EXPECT_TRUE(Last().verified);
    EXPECT_FALSE(Publisher().HasPending());
}

TEST_F(VerificationTest, AStopRequestEndsTheVerificationWithoutTheSecondLook) {
    m_state.CurrentIP = "203.0.113.7";
    m_fetcher.answers = {Problem("Stopped.")};
    m_fetcher.onFetch = [this] { m_ui.endRequested = true; };
    Publisher().PublishAddress();
    EXPECT_EQ(Last().kind, Kind::Failed);
    EXPECT_EQ(m_fetcher.urls.size(), 1u);
    EXPECT_TRUE(m_clock.sleeps.empty());
}

TEST_F(VerificationTest, WithoutRepublishHoursNothingIsWrittenAndTheFileStaysByteForByte) {
    m_state.CurrentIP = "203.0.113.7";
    SaveSettings(m_fields, m_state, Path());
    const std::string before = ReadFile(Path());
    m_monitor.UpdateNowCommand();
    m_monitor.OfflineCommand();
    ASSERT_EQ(Last().kind, Kind::Published);
    // The commands' own saves write what they always wrote; the publications add nothing.
    EXPECT_EQ(ReadFile(Path()), before);
    for (int i = 0; i < 3; ++i) {
        m_clock.tick += 1000;
        m_clock.now += 400 * 24 * 3600;
        m_monitor.Timer1Timer();
    }
    EXPECT_EQ(ReadFile(Path()), before);
    EXPECT_EQ(m_server.Uploads().size(), 2u);  // no forced republication either
}

TEST_F(VerificationTest, RepublishesAfterTheIntervalAcrossARestartAndKeepsTheOfflinePage) {
    m_state.CurrentIP = "203.0.113.7";
    m_state.RepublishHours = 24;
    SaveSettings(m_fields, m_state, Path());
    IniOpen(Path());
    IniWriteString(kSettingsSection, "RepublishHours", "24");
    IniWriteString(kSettingsSection, "VerifyURL", m_state.VerifyURL);
    IniClose();
    Restart();
    m_monitor.OfflineCommand();
    ASSERT_EQ(Last().kind, Kind::Published);
    const std::time_t published = m_clock.now;

    Restart();
    EXPECT_EQ(m_state.LastPublished, published);
    EXPECT_EQ(m_state.LastPublishedPage, "offline");
    const auto tick = [this](std::time_t at) {
        m_clock.now = at;
        m_clock.tick += 1000;
        m_monitor.Timer1Timer();
    };
    tick(published + 24 * 3600 - 60);  // 23 h 59 min: the address is unchanged, nothing is due
    EXPECT_EQ(m_server.Uploads().size(), 1u);
    tick(published + 24 * 3600);
    ASSERT_EQ(m_server.Uploads().size(), 2u);
    EXPECT_TRUE(Last().offline);
    EXPECT_TRUE(Last().verified);
    EXPECT_NE(m_server.Uploads().back().find("ffline"), std::string::npos);
    tick(published + 24 * 3600 + 1);
    EXPECT_EQ(m_server.Uploads().size(), 2u);
    Restart();
    EXPECT_EQ(m_state.LastPublished, published + 24 * 3600);
}

TEST_F(VerificationTest, AMissingBadOrFutureRecordAndAFailedRepublication) {
    m_state.CurrentIP = "203.0.113.7";
    SaveSettings(m_fields, m_state, Path());
    IniOpen(Path());
    IniWriteString(kSettingsSection, "RepublishHours", "1");
    IniWriteString(kSettingsSection, "VerifyURL", m_state.VerifyURL);
    IniWriteString(kSettingsSection, "LastPublished", "yesterday");  // no number: taken as absent
    IniClose();
    Restart();
    EXPECT_EQ(m_state.LastPublished, std::nullopt);
    const auto tick = [this] {
        m_clock.tick += 1000;
        m_monitor.Timer1Timer();
    };
    // The first tick republishes once; the verification fails twice and the retry takes over.
    m_fetcher.answers = {Problem("no answer within 10 s"), Problem("no answer within 10 s")};
    tick();
    ASSERT_EQ(Last().kind, Kind::Failed);
    EXPECT_EQ(Last().errorMessage, "verification failed: no answer within 10 s");
    EXPECT_TRUE(Publisher().HasPending());
    tick();
    EXPECT_EQ(m_server.Uploads().size(), 1u);  // pending: no republication, and the retry is not due yet
    m_clock.tick += Publisher::kFirstRetryMs;
    tick();
    EXPECT_EQ(m_server.Uploads().size(), 2u);
    EXPECT_TRUE(Last().verified);
    EXPECT_EQ(m_state.LastPublished, m_clock.now);

    // The clock set back a day: the record is taken as now and rewritten, nothing is published.
    m_clock.now -= 24 * 3600;
    tick();
    EXPECT_EQ(m_server.Uploads().size(), 2u);
    Restart();
    EXPECT_EQ(m_state.LastPublished, m_clock.now);
    EXPECT_EQ(m_state.LastPublishedPage, "address");
}

TEST_F(VerificationTest, ASkippedRepublicationIsNotForcedAgainAtEveryTick) {
    m_state.CurrentIP = "203.0.113.7";
    m_state.RepublishHours = 1;
    m_state.IgnoreList = "203.0.113.7";
    for (int i = 0; i < 3; ++i) {
        m_clock.tick += 1000;
        m_monitor.Timer1Timer();
    }
    ASSERT_EQ(m_ui.outcomes.size(), 1u);
    EXPECT_EQ(Last().kind, Kind::SkippedIgnored);
    m_clock.now += 3600;
    m_clock.tick += 1000;
    m_monitor.Timer1Timer();
    EXPECT_EQ(m_ui.outcomes.size(), 2u);
}

// The fetcher over the real HTTP client, against a scripted web server on loopback.
TEST(HttpPageFetcherTest, BoundsAndBrokenServers) {
    ScriptedHttpServer web;
    FakeClock clock;
    ProgramState state;
    HttpPageFetcher fetcher(clock, state);
    const std::string page = "<html>\r\n</html>\r\n";
    web.Script("/ok", {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page});
    web.Script("/missing", {"HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"});
    web.Script("/loop", {"HTTP/1.1 302 Found\r\nLocation: /loop\r\nContent-Length: 0\r\n\r\n"});
    web.Script("/huge", {"HTTP/1.1 200 OK\r\n\r\n", /*endless=*/true});
    web.Script("/silent", {"", false, /*silent=*/true});
    web.Script("/evil", {"HTTP/1.1 500 \x1b[2J\r\nContent-Length: 0\r\n\r\n"});

    const FetchedPage ok = fetcher.Fetch(web.Url("/ok"));
    EXPECT_EQ(ok.body, page);
    const std::string head = web.Requests().back();
    EXPECT_NE(head.find("\r\nCache-Control: no-cache\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nPragma: no-cache\r\n"), std::string::npos) << head;

    const std::pair<const char*, std::string> failures[] = {
        {"/missing", "HTTP 404 Not Found from " + web.Url("/missing")},
        {"/loop", "Too many redirects from " + web.Url("/loop")},
        {"/huge", "the served page is larger than 1 MiB"},
        {"/silent", "no answer within 10 s"},
        {"/evil", "HTTP 500 \\x1b[2J from " + web.Url("/evil")},
    };
    for (const auto& [path, problem] : failures) {
        const std::int64_t start = clock.tick;
        const FetchedPage fetched = fetcher.Fetch(web.Url(path));
        EXPECT_FALSE(fetched.body) << path;
        EXPECT_EQ(fetched.problem, problem) << path;
        EXPECT_LE(clock.tick - start, kVerifyFetchTimeoutMs) << path;
    }
    // https goes through the TLS layer: the plain-text server, which answers a GET of /ok with the page,
    // never reads a request in clear; its silence to the handshake ends the fetch within the bound.
    const std::string https = "https://127.0.0.1:" + std::to_string(web.Port()) + "/ok";
    const FetchedPage plain = fetcher.Fetch(https);
    EXPECT_FALSE(plain.body);
    EXPECT_EQ(plain.problem, "no answer within 10 s");
}

}  // namespace
}  // namespace signposter
