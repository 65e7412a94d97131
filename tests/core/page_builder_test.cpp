#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "core/address_discovery.h"
#include "core/page_builder.h"
#include "platform/exceptions.h"
#include "support/fake_live_settings.h"
#include "support/fake_user_interface.h"
#include "support/private_network.h"
#include "support/scoped_environment.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using testing::FakeLiveSettings;
using testing::FakeUserInterface;
using testing::ReadFile;
using testing::ScopedEnvironment;
using testing::TempDir;
using testing::WriteFile;

const char kRedirectPage[] =
    "<html>\r\n"
    "\r\n"
    "<head>\r\n"
    "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"0;URL=http://203.0.113.7\">\r\n"
    "<title>Signposter</title>\r\n"
    "</head>\r\n"
    "\r\n"
    "<body>\r\n"
    "\r\n"
    "<p><font size=\"5\">Server IP changed</font> - <font size=\"4\"><i>redirecting to\r\n"
    "new address</i></font> - <font size=\"3\">click <a href=\"http://203.0.113.7\">here</a> if your\r\n"
    "browser does not auto-redirect</font></p>\r\n"
    "<p><b><i>Signposter by </i></b><a href=\"mailto:signposter@example.org\"><font "
    "size=\"1\">signposter@example.org</font></a></p>\r\n"
    "<p>&nbsp;</p>\r\n"
    "<p>&nbsp;</p>\r\n"
    "\r\n"
    "</body>\r\n"
    "\r\n"
    "</html>\r\n";

class PageBuilderTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_state.LocalPageFile = m_dir.File("ipaddress.htm");
        m_state.TemplateFile = m_dir.File("template.htm");
    }
    bool Build(const std::string& address) {
        return BuildAddressPage(m_fields, m_state, m_ui, address).has_value();
    }
    std::string Page() const { return ReadFile(m_state.LocalPageFile); }

    TempDir m_dir;
    FakeLiveSettings m_fields;
    ProgramState m_state;
    FakeUserInterface m_ui;
};

TEST_F(PageBuilderTest, InternalTemplateWithRedirectIsByteExact) {
    ASSERT_EQ(InternalTemplate().Count(), 19u);
    ASSERT_TRUE(Build("203.0.113.7"));
    EXPECT_EQ(Page(), kRedirectPage);
}

TEST_F(PageBuilderTest, VariantWithoutRedirectBlanksLineThreeOnly) {
    m_fields.SetChecked(Switch::InternalRedirect, false);
    m_fields.SetChecked(Switch::InternalNoRedirect, true);
    ASSERT_TRUE(Build("203.0.113.7"));
    std::string expected = kRedirectPage;
    const std::string redirect = "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"0;URL=http://203.0.113.7\">";
    expected.erase(expected.find(redirect), redirect.size());
    EXPECT_EQ(Page(), expected);
    LineList lines;
    lines.LoadFromFile(m_state.LocalPageFile);
    EXPECT_EQ(lines.Count(), 19u);
    EXPECT_EQ(lines[3], "");
}

TEST_F(PageBuilderTest, UserTemplateWinsAndIsWrittenWithCrLf) {
    m_fields.SetChecked(Switch::InternalNoRedirect, true);  // both options on: the user's file wins
    m_fields.SetChecked(Switch::UserTemplate, true);
    WriteFile(m_state.TemplateFile, "a {IPADDRESS}{IPADDRESS} b {IPADDRESS}\n{ipaddress}\nc");
    ASSERT_TRUE(Build("10.1.2.3"));
    EXPECT_EQ(Page(), "a 10.1.2.310.1.2.3 b 10.1.2.3\r\n{ipaddress}\r\nc\r\n");
    EXPECT_TRUE(m_ui.messages.empty());
}

TEST_F(PageBuilderTest, IPv6AddressStandsInBracketsAndTheBareMacrosNeedTheFamilyKey) {
    ASSERT_TRUE(Build("2001:db8::7"));
    std::string expected = kRedirectPage;
    for (std::size_t at; (at = expected.find("203.0.113.7")) != std::string::npos;)
        expected.replace(at, 11, "[2001:db8::7]");
    EXPECT_EQ(Page(), expected);

    m_fields.SetChecked(Switch::UserTemplate, true);
    WriteFile(m_state.TemplateFile, "{IPADDRESS}|{IPV4ADDRESS}|{IPV6ADDRESS}");
    ASSERT_TRUE(Build("2001:db8::7"));
    EXPECT_EQ(Page(), "[2001:db8::7]|{IPV4ADDRESS}|{IPV6ADDRESS}\r\n");  // an old installation's template
    m_state.AddressFamily = "Both";
    m_state.CurrentIP = "100.64.1.2";
    ASSERT_TRUE(Build("2001:db8::7"));
    EXPECT_EQ(Page(), "[2001:db8::7]|100.64.1.2|2001:db8::7\r\n");
    m_state.CurrentIP6 = "2001:db8::9";
    ASSERT_TRUE(Build("192.0.2.1"));
    EXPECT_EQ(Page(), "192.0.2.1|192.0.2.1|2001:db8::9\r\n");
    m_state.CurrentIP6.clear();
    m_state.CurrentIP = "192.0.2.1";
    ASSERT_TRUE(Build("192.0.2.1"));
    EXPECT_EQ(Page(), "192.0.2.1|192.0.2.1|\r\n");
}

TEST_F(PageBuilderTest, MissingUserTemplateAbandonsWithTheMessageAndWritesNothing) {
    m_fields.SetChecked(Switch::UserTemplate, true);
    EXPECT_FALSE(Build("10.1.2.3"));
    ASSERT_EQ(m_ui.messages.size(), 1u);
    EXPECT_EQ(m_ui.messages[0].caption, "Error");
    EXPECT_EQ(m_ui.messages[0].text, "User Template File Not Found - " + m_state.TemplateFile);
    EXPECT_EQ(m_ui.messages[0].icon, MessageIcon::Error);
    EXPECT_FALSE(std::filesystem::exists(m_state.LocalPageFile));
}

// Windows editors save "Unicode" as UTF-16 with a byte order mark: the page is the same text in UTF-8.
// A file still holding a NUL (UTF-32, binary) or broken UTF-16 is refused, never uploaded cut short.
TEST_F(PageBuilderTest, UserTemplateEncodings) {
    m_fields.SetChecked(Switch::UserTemplate, true);
    // "<p>é {IPADDRESS} 𝄞</p>" and a second line: two-byte, four-byte (surrogate pair) characters.
    const std::u16string text = u"<p>\u00e9 {IPADDRESS} \U0001D11E</p>\r\nb";
    const std::string expected = "<p>\xc3\xa9 10.1.2.3 \xf0\x9d\x84\x9e</p>\r\nb\r\n";
    for (const bool little : {true, false}) {
        std::string bytes = little ? "\xff\xfe" : "\xfe\xff";
        for (const char16_t unit : text) {
            const char low = static_cast<char>(unit & 0xFF), high = static_cast<char>(unit >> 8);
            bytes += little ? std::string{low, high} : std::string{high, low};
        }
        WriteFile(m_state.TemplateFile, bytes);
        ASSERT_TRUE(Build("10.1.2.3")) << little;
        EXPECT_EQ(Page(), expected);
    }
    EXPECT_TRUE(m_ui.messages.empty());
    std::filesystem::remove(m_state.LocalPageFile);
    const std::string notText = "User Template File Not Text - " + m_state.TemplateFile;
    for (const auto& [bytes, message] : std::vector<std::pair<std::string, std::string>>{
             {std::string("<p>{IPADDRESS}\0</p>", 19), notText + " (it holds a NUL byte; save it as UTF-8)"},
             {std::string("\xff\xfe\0\0<\0", 6), notText + " (it holds a NUL byte; save it as UTF-8)"},
             {std::string("\xff\xfe<\0p", 5), notText + " (broken UTF-16)"},
             {std::string("\xff\xfe\x1e\xdd<\0", 6), notText + " (broken UTF-16)"},
         }) {
        m_ui.messages.clear();
        WriteFile(m_state.TemplateFile, bytes);
        EXPECT_FALSE(Build("10.1.2.3"));
        ASSERT_EQ(m_ui.messages.size(), 1u);
        EXPECT_EQ(m_ui.messages[0].text, message);
    }
    EXPECT_FALSE(std::filesystem::exists(m_state.LocalPageFile));
}

TEST_F(PageBuilderTest, EmptyAddressGivesBareLinksAndAnUnwritablePageRaises) {
    ASSERT_TRUE(Build(""));
    EXPECT_NE(Page().find("<a href=\"http://\">here</a>"), std::string::npos);
    m_state.LocalPageFile = m_dir.File("missing/dir/page.htm");
    EXPECT_THROW(Build("1.2.3.4"), EFCreateError);
    EXPECT_FALSE(std::filesystem::exists(m_dir.File("missing")));
}

TEST_F(PageBuilderTest, OfflinePageIsFiveFixedLines) {
    BuildOfflinePage(m_state);
    EXPECT_EQ(
        Page(),
        "<html>\r\n<body>\r\n<p>The Computer you are trying to connect to is currently <font size=\"4\"> "
        "Offline.</font></p>\r\n</body>\r\n</html>\r\n");
}

TEST(ReplaceMacroTest, ReplacementContainingTheMacroEnds) {
    LineList lines({"x{IPADDRESS}y{IPADDRESS}", "none"});
    ReplaceMacro(lines, kAddressMacro, "<{IPADDRESS}>");
    EXPECT_EQ(lines[0], "x<{IPADDRESS}>y<{IPADDRESS}>");
    EXPECT_EQ(lines[1], "none");
}

TEST(LocalPageFileTest, IsTheTempDirectoryPlusThePageNameAsTyped) {
    FakeLiveSettings fields;
    ProgramState state;
    fields.SetText(TextField::PageName, " index.htm");
    ScopedEnvironment tmpdir("TMPDIR", "/var/tmp/");
    SetLocalPageFile(fields, state);
    EXPECT_EQ(state.LocalPageFile, "/var/tmp/ index.htm");
}

TEST(LocalPageFileTest, WithoutTmpdirThePageGoesToADirectoryOfTheUsersOwn) {
    TempDir runtime;
    ScopedEnvironment tmpdir("TMPDIR", nullptr);
    ScopedEnvironment xdg("XDG_RUNTIME_DIR", runtime.Path().c_str());
    const std::string dir = runtime.Path() + "/signposter";
    EXPECT_EQ(GetTempDir(), dir);
    struct stat st {};
    ASSERT_EQ(::stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Refused, with nothing written, when others may write there or another user owns it.
    ::chmod(dir.c_str(), 0777);
    EXPECT_THROW(GetTempDir(), EFCreateError);
    ::chmod(dir.c_str(), 0700);
    if (::geteuid() == 0) {
        ASSERT_EQ(::chown(dir.c_str(), 65534, 65534), 0);
        EXPECT_THROW(GetTempDir(), EFCreateError);
    }

    ScopedEnvironment noRuntime("XDG_RUNTIME_DIR", nullptr);
    const std::string fallback = "/tmp/signposter-" + std::to_string(::geteuid());
    const bool existed = std::filesystem::exists(fallback);
    EXPECT_EQ(GetTempDir(), fallback);
    if (!existed)
        ::rmdir(fallback.c_str());
}

TEST(LocalPageFileTest, AnotherUsersDirectoryInTmpGivesWayToAFreshPrivateOne) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a /tmp of its own and a directory of another user";
    const auto report = testing::InChildProcess([](int reportFd) {
        // A /tmp of this process's own, where "another user" made our directory first.
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0)
            ::_exit(77);
        ::unsetenv("TMPDIR");
        ::unsetenv("XDG_RUNTIME_DIR");
        const std::string taken = "/tmp/signposter-" + std::to_string(::geteuid());
        ::mkdir(taken.c_str(), 0777);
        [[maybe_unused]] const int owned = ::chown(taken.c_str(), 65534, 65534);
        ::dup2(reportFd, 2);  // the notice
        std::string result;
        try {
            const std::string first = GetTempDir(), again = GetTempDir();
            struct stat st {};
            ::lstat(first.c_str(), &st);
            result = first.rfind(taken + "-", 0) == 0 && first == again && (st.st_mode & 0777) == 0700 &&
                             st.st_uid == ::geteuid()
                         ? "private " + first.substr(0, taken.size() + 1) + "\n"
                         : "shared " + first + "\n";
        } catch (const Exception& error) {
            result = error.Message() + "\n";
        }
        return result;
    });
    if (!report)
        GTEST_SKIP() << "no private mount namespace here (unshare not allowed)";
    const std::string& text = *report;
    const std::string taken = "/tmp/signposter-" + std::to_string(::geteuid());
    const std::size_t notice =
        text.find("Temporary directory " + taken + " is not this user's own; using " + taken + "-");
    EXPECT_EQ(notice, 0u) << text;
    EXPECT_EQ(text.substr(text.find('\n') + 1), "private " + taken + "-\n");
}

TEST(LocalPageFileTest, ThePageNeverFollowsALinkAndIsReplacedWhole) {
    TempDir dir;
    FakeLiveSettings fields;
    FakeUserInterface ui;
    ProgramState state;
    fields.SetChecked(Switch::InternalRedirect, true);
    const std::string victim = dir.File("victim");
    std::ofstream(victim) << "keep";
    state.LocalPageFile = dir.File("page.htm");
    ASSERT_EQ(::symlink(victim.c_str(), state.LocalPageFile.c_str()), 0);
    EXPECT_THROW(BuildAddressPage(fields, state, ui, "1.2.3.4"), EFCreateError);
    EXPECT_EQ(ReadFile(victim), "keep");

    std::filesystem::remove(state.LocalPageFile);
    ASSERT_EQ(::mkfifo(state.LocalPageFile.c_str(), 0600), 0);
    EXPECT_THROW(BuildOfflinePage(state), EFCreateError);  // and no wait for a reader
}

class FakeHostLookup : public HostLookup {
public:
    std::optional<std::string> HostName() override { return name; }
    std::optional<std::vector<std::string>> ResolveIPv4(const std::string& asked) override {
        lastAsked = asked;
        return resolved;
    }
    std::vector<std::string> InterfaceIPv4() override { return interfaces; }

    std::optional<std::string> name = "myhost";
    std::optional<std::vector<std::string>> resolved;
    std::vector<std::string> interfaces;
    std::string lastAsked;
};

TEST(GetLocalAddressTest, TakesTheLastAddressAndFallsBackToInterfacesOnlyForLoopback) {
    FakeHostLookup lookup;
    lookup.interfaces = {"192.168.1.5", "203.0.113.9"};
    lookup.resolved = std::vector<std::string>{"192.168.0.2", "203.0.113.7"};
    EXPECT_EQ(GetLocalAddress(lookup), "203.0.113.7");
    EXPECT_EQ(lookup.lastAsked, "myhost");

    lookup.resolved = std::vector<std::string>{"127.0.1.1"};
    EXPECT_EQ(GetLocalAddress(lookup), "203.0.113.9");
    lookup.resolved = std::vector<std::string>{"127.0.0.1", "10.0.0.1"};  // not only loopback
    EXPECT_EQ(GetLocalAddress(lookup), "10.0.0.1");
    lookup.interfaces.clear();
    lookup.resolved = std::vector<std::string>{"127.0.1.1"};
    EXPECT_EQ(GetLocalAddress(lookup), "127.0.1.1");  // nothing better to offer

    lookup.resolved = std::nullopt;
    EXPECT_EQ(GetLocalAddress(lookup), "");
    lookup.name = std::nullopt;
    EXPECT_EQ(GetLocalAddress(lookup), "");
}

TEST(GetLocalAddressTest, ThisMachineAnswersWithADottedQuad) {
    SystemHostLookup lookup;
    const std::string address = GetLocalAddress(lookup);
    if (address.empty())
        GTEST_SKIP() << "this machine's host name does not resolve";
    EXPECT_EQ(std::count(address.begin(), address.end(), '.'), 3) << address;
}

}  // namespace
}  // namespace signposter
