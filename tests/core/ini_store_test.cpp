#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>

#include "core/ini_store.h"
#include "core/line_list.h"
#include "platform/exceptions.h"
#include "support/temp_dir.h"

namespace signposter {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

std::vector<std::string> Split(const std::string& bytes) {
    LineList list;
    list.SetText(bytes);
    return list.Lines();
}

TEST(LineListTest, SplitsAtEveryKindOfBreakAndStopsAtNul) {
    EXPECT_EQ(Split(""), std::vector<std::string>{});
    EXPECT_EQ(Split("a"), std::vector<std::string>{"a"});
    EXPECT_EQ(Split("a\r\n"), std::vector<std::string>{"a"});
    EXPECT_EQ(Split("a\r\nb\nc\rd"), (std::vector<std::string>{"a", "b", "c", "d"}));
    EXPECT_EQ(Split("a\n\r"), (std::vector<std::string>{"a", ""}));  // LF then CR: two breaks
    EXPECT_EQ(Split("\r\n\r\n"), (std::vector<std::string>{"", ""}));
    EXPECT_EQ(Split(std::string("a\nb\0c\nd", 7)), (std::vector<std::string>{"a", "b"}));
}

TEST(LineListTest, WritesCrLfAfterEveryLineAndNothingForAnEmptyList) {
    EXPECT_EQ(LineList({"a", "", "b"}).Text(), "a\r\n\r\nb\r\n");
    EXPECT_EQ(LineList().Text(), "");
    TempDir dir;
    EXPECT_THROW(LineList().LoadFromFile(dir.File("missing")), EFOpenError);
    try {
        LineList({"x"}).SaveToFile(dir.File("no/such/dir/page.htm"));
        FAIL();
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message(), "Cannot create file " + dir.File("no/such/dir/page.htm"));
    }
}

class IniStoreTest : public ::testing::Test {
protected:
    std::string Path() const { return m_dir.File("settings.ini"); }
    void Open(const std::string& content) {
        WriteFile(Path(), content);
        IniOpen(Path());
    }
    std::string Read(const std::string& key, const std::string& section = "Settings") {
        return IniReadString(section, key, "<default>");
    }
    TempDir m_dir;
};

TEST_F(IniStoreTest, MissingFileGivesDefaultsAndIsNotCreatedByClose) {
    IniOpen(Path());
    EXPECT_EQ(Read("Host"), "<default>");
    EXPECT_EQ(IniReadInteger("Settings", "Port", 21), 21);
    IniClose();
    EXPECT_FALSE(std::filesystem::exists(Path()));
}

TEST_F(IniStoreTest, SectionsAndKeysCompareWithoutCaseAndSurroundingSpaces) {
    Open("[ settings ]\r\nhost = example \r\n");
    EXPECT_EQ(Read("HOST"), "example");
    Open("[Settings] extra\nHost=a\n");
    EXPECT_EQ(Read("Host"), "a");
    Open("[\tSettings]\nHost=a\n");  // a tab is not stripped
    EXPECT_EQ(Read("Host"), "<default>");
    Open("x=[Settings]\nHost=a\n");  // any line with both brackets is a header to the section search
    EXPECT_EQ(Read("Host"), "a");
    Open("[Settings]\nkey=a=b\n");
    EXPECT_EQ(Read("key"), "a=b");
    IniClose();
}

TEST_F(IniStoreTest, FirstOfDuplicateSectionsWinsForReadsAndWrites) {
    Open("[Settings]\r\nA=1\r\n[Settings]\r\nA=2\r\nB=3\r\n");
    EXPECT_EQ(Read("A"), "1");
    IniWriteString("Settings", "A", "9");
    EXPECT_EQ(ReadFile(Path()), "[Settings]\r\nA=9\r\n[Settings]\r\nA=2\r\nB=3\r\n");
    IniClose();
}

TEST_F(IniStoreTest, ReadStopsAtTheNextSectionButNotAtBracketsInAValue) {
    Open("[Settings]\nTemplate=/srv/[site]/t.htm\nLastIP=1.2.3.4\n[Other]\nHost=elsewhere\n");
    EXPECT_EQ(Read("LastIP"), "1.2.3.4");
    EXPECT_EQ(Read("Host"), "<default>");
    EXPECT_EQ(Read("Host", "Other"), "elsewhere");
    IniClose();
}

TEST_F(IniStoreTest, WritesFromNothingGiveBlankLineHeaderAndKeysInOrder) {
    IniOpen(Path());
    IniWriteString("Settings", "Host", " spaced ");
    IniWriteInteger("Settings", "Passive", -1);
    IniWriteString("Settings", "Host", "b");
    IniWriteString("Settings", "Key", "a=b");
    EXPECT_EQ(ReadFile(Path()), "\r\n[Settings]\r\nHost=b\r\nPassive=-1\r\nKey=a=b\r\n");
    IniWriteString("Settings", "Host", " spaced ");
    EXPECT_EQ(Read("Host"), "spaced");  // stored with its spaces, read back trimmed
    IniClose();
    EXPECT_EQ(ReadFile(Path()), "\r\n[Settings]\r\nHost= spaced \r\nPassive=-1\r\nKey=a=b\r\n");
}

TEST_F(IniStoreTest, RewritingAKeyKeepsTheFilesOwnSpelling) {
    Open("[Settings]\r\nHOST=a\r\n");
    IniWriteString("Settings", "Host", "b");
    EXPECT_EQ(ReadFile(Path()), "[Settings]\r\nHOST=b\r\n");
    IniClose();
}

TEST_F(IniStoreTest, NewKeyGoesAboveTheBlankLineBeforeTheNextSection) {
    Open("[Settings]\r\nA=1\r\n\r\n[Other]\r\nB=2\r\n");
    IniWriteString("Settings", "New", "x");
    EXPECT_EQ(ReadFile(Path()), "[Settings]\r\nA=1\r\nNew=x\r\n\r\n[Other]\r\nB=2\r\n");
    IniClose();
}

TEST_F(IniStoreTest, NewKeyStaysInsideASectionFollowedDirectlyByAnother) {
    Open("[Settings]\r\n[Other]\r\nB=2\r\n");
    IniWriteString("Settings", "New", "x");
    EXPECT_EQ(ReadFile(Path()), "[Settings]\r\nNew=x\r\n[Other]\r\nB=2\r\n");
    EXPECT_EQ(Read("New"), "x");
    IniClose();
}

TEST_F(IniStoreTest, ABracketInAValueDoesNotStopTheWriteScan) {
    // A host written as an IPv6 literal: every save rewrites the lines in place instead of adding more.
    Open("[Settings]\r\nHost=[2001:db8::1]\r\nPort=21\r\n\r\n[Other]\r\nB=2\r\n");
    for (const char* host : {"h[1]", "[2001:db8::2]"}) {
        IniWriteString("Settings", "Host", host);
        IniWriteString("Settings", "Port", "2121");
        IniWriteString("Settings", "User", "u");
    }
    EXPECT_EQ(ReadFile(Path()),
              "[Settings]\r\nHost=[2001:db8::2]\r\nPort=2121\r\nUser=u\r\n\r\n[Other]\r\nB=2\r\n");
    IniClose();
}

TEST_F(IniStoreTest, CloseRewritesAnyLineEndsAsCrLfAndKeepsANulInItsLine) {
    Open("[Settings]\nA=1\rB=2\n");
    IniClose();
    EXPECT_EQ(ReadFile(Path()), "[Settings]\r\nA=1\r\nB=2\r\n");
    Open(std::string("[Settings]\nA=1\0B=2\nC=3\n", 23));
    EXPECT_EQ(Read("C"), "3");
    IniClose();
    EXPECT_EQ(ReadFile(Path()), std::string("[Settings]\r\nA=1\0B=2\r\nC=3\r\n", 26));
}

TEST_F(IniStoreTest, IntegerReadingIsLenient) {
    Open("[Settings]\nA=1abc\nB=abc\nC=$10\nD=\n");
    EXPECT_EQ(IniReadInteger("Settings", "A", 5), 1);
    EXPECT_EQ(IniReadInteger("Settings", "B", 5), 0);
    EXPECT_EQ(IniReadInteger("Settings", "C", 5), 16);
    EXPECT_EQ(IniReadInteger("Settings", "D", 5), 0);
    EXPECT_EQ(IniReadInteger("Settings", "E", 5), 5);
    IniClose();
}

TEST_F(IniStoreTest, ReadOnlyFileIsNeverReplacedAndAFailedWriteKeepsTheOldFile) {
    const std::string original = "[Settings]\r\nHost=old\r\n";
    Open(original);
    ::chmod(Path().c_str(), 0444);
    try {
        IniWriteString("Settings", "Host", "new");
        FAIL() << "a read-only file was written";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message(), "Cannot create file " + Path());
    }
    EXPECT_EQ(Read("Host"), "new");  // the list keeps the change; the file does not
    IniClose();                      // and closing leaves a read-only file alone
    EXPECT_EQ(ReadFile(Path()), original);
    struct stat st {};
    ::stat(Path().c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0444u);
}

TEST_F(IniStoreTest, SavesReplaceTheFileKeepingItsModeAndNewFilesAreOwnerOnly) {
    Open("[Settings]\r\nA=1\r\n");
    ::chmod(Path().c_str(), 0640);
    IniWriteString("Settings", "A", "2");
    IniClose();
    struct stat st {};
    ::stat(Path().c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    const std::string fresh = m_dir.File("new/dir/settings.ini");  // missing directories are created
    IniOpen(fresh);
    IniWriteString("Settings", "A", "1");
    IniClose();
    ::stat(fresh.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // No temporary file is left beside it, only the lock.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.File("new/dir")),
                            std::filesystem::directory_iterator()),
              2);
}

TEST_F(IniStoreTest, SaveOfUnchangedContentLeavesTheFileAlone) {
    Open("[Settings]\r\nA=1\r\n");
    struct stat before {};
    ::stat(Path().c_str(), &before);
    IniWriteString("Settings", "A", "1");
    IniClose();
    struct stat after {};
    ::stat(Path().c_str(), &after);
    EXPECT_EQ(before.st_ino, after.st_ino);  // not replaced
    Open("[Settings]\nA=1\n");               // the same lines with other line ends are rewritten
    IniClose();
    EXPECT_EQ(ReadFile(Path()), "[Settings]\r\nA=1\r\n");
}

TEST_F(IniStoreTest, SaveThroughASymbolicLinkReplacesTheFileItPointsTo) {
    std::filesystem::create_directory(m_dir.File("dotfiles"));
    WriteFile(m_dir.File("dotfiles/real.ini"), "[Settings]\r\nA=1\r\n");
    std::filesystem::create_symlink("dotfiles/real.ini", Path());
    IniOpen(Path());
    IniWriteString("Settings", "A", "2");
    IniClose();
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(ReadFile(m_dir.File("dotfiles/real.ini")), "[Settings]\r\nA=2\r\n");
}

TEST_F(IniStoreTest, SaveThroughADanglingLinkCreatesItsTargetAndKeepsTheLink) {
    std::filesystem::create_directory(m_dir.File("dotfiles"));
    std::filesystem::create_symlink("dotfiles/new.ini", Path());
    IniOpen(Path());
    IniWriteString("Settings", "A", "1");
    IniClose();
    EXPECT_TRUE(std::filesystem::is_symlink(Path()));
    EXPECT_EQ(ReadFile(m_dir.File("dotfiles/new.ini")), "\r\n[Settings]\r\nA=1\r\n");
}

TEST_F(IniStoreTest, ASaveRemovesOldLeftoversOfKilledSavesAndNothingElse) {
    const std::string stale = Path() + ".saving-Ab12Cd", olderStale = Path() + ".Xy34Zw",
                      fresh = Path() + ".saving-Xy34Zw", other = Path() + ".backup";
    for (const auto& file : {stale, olderStale, fresh, other}) WriteFile(file, "x");
    const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::minutes(5);
    for (const auto& file : {stale, olderStale, other}) std::filesystem::last_write_time(file, old);
    Open("[Settings]\r\nA=1\r\n");
    IniWriteString("Settings", "A", "2");
    IniClose();
    EXPECT_FALSE(std::filesystem::exists(stale));
    EXPECT_FALSE(std::filesystem::exists(olderStale));
    EXPECT_TRUE(std::filesystem::exists(fresh));  // may be a save still running
    EXPECT_TRUE(std::filesystem::exists(other));
}

TEST_F(IniStoreTest, UnwritableLocationRaisesCannotCreate) {
    WriteFile(m_dir.File("plainfile"), "x");
    const std::string path = m_dir.File("plainfile/settings.ini");  // its "directory" is a file
    IniOpen(path);
    EXPECT_THROW(IniWriteString("Settings", "A", "1"), EFCreateError);
    IniClose();
}

TEST_F(IniStoreTest, HugeLinesAndJunkLoadWithoutTrouble) {
    std::string junk = "[Settings]\n" + std::string((1 << 20) - 1000, 'x') + "\nHost=h\n[\n]\n==\n=v\n";
    for (int i = 0; i < 256; ++i) junk += static_cast<char>(i == 0 ? 1 : i);
    Open(junk);
    EXPECT_EQ(Read("Host"), "h");
    IniWriteString("Settings", "Host", "g");
    IniClose();
    LineList reloaded;
    reloaded.LoadFromFile(Path());
    EXPECT_EQ(reloaded[2], "Host=g");
    EXPECT_EQ(reloaded[1].size(), (1u << 20) - 1000);
}

}  // namespace
}  // namespace signposter
