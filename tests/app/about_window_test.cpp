#include "app/about_window.h"
#include "app/changelog.h"

#include <gtest/gtest.h>

namespace cordavelle {
namespace {

TEST(Changelog, ReadsHeadingsAndTheirItems)
{
    EXPECT_EQ(parseChangelog("## 1.2.0\n- First\n- Second\n"),
              std::vector<ChangelogEntry>({{"1.2.0", {"First", "Second"}}}));

    const QString notes = "# Release notes\n"
                          "- dropped: before any version\n"
                          "## 2.0\n"
                          "Prose is ignored.\n"
                          "### Fixes\n"
                          "- kept with 2.0\n"
                          "  - indented\n"
                          "* asterisk\n"
                          "- **bold** stays as written\n"
                          "## \n"
                          "- dropped with the empty heading\n"
                          "## 1.0\n";
    EXPECT_EQ(parseChangelog(notes), std::vector<ChangelogEntry>({{"2.0", {"kept with 2.0", "**bold** stays as written"}},
                                                                   {"1.0", {}}}));

    QString windows = notes;
    windows.replace("\n", "\r\n");
    EXPECT_EQ(parseChangelog(windows), parseChangelog(notes));
    EXPECT_TRUE(parseChangelog("").empty());
}

TEST(AboutWindow, VersionLineAndTheNotesBlockOnlyWithNotes)
{
    EXPECT_EQ(versionLine("1.0", "1", "Unknown"), QString::fromUtf8("Version 1.0 (1) \u2014 Built Unknown"));
    EXPECT_EQ(buildDateText(std::nullopt, QLocale::c()), "Unknown");
    EXPECT_EQ(buildDateText(QDateTime(), QLocale::c()), "Unknown");
    EXPECT_TRUE(buildDateText(QDateTime(QDate(2026, 12, 7), QTime(10, 0)), QLocale(QLocale::English)).contains("Dec"));

    AboutInfo info;
    info.releaseNotes = "## 0.1.0\n- First release\n";
    AboutWindow withNotes(info);
    EXPECT_NE(withNotes.releaseNotes(), nullptr);
    EXPECT_EQ(withNotes.versionText(), QString::fromUtf8("Version 1.0 (1) \u2014 Built Unknown"));

    info.releaseNotes.clear();
    AboutWindow withoutNotes(info);
    EXPECT_EQ(withoutNotes.releaseNotes(), nullptr);

    // The program ships its own notes.
    EXPECT_FALSE(parseChangelog(AboutInfo::current().releaseNotes).empty());
}

} // namespace
} // namespace cordavelle
