#pragma once

#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QWidget>

#include <optional>
#include <vector>

namespace cordavelle {

// A work the helper builds on, credited in the About window.
struct Acknowledgment {
    QString name;
    QString author;
    QString url;
    QString description;
};

// The projects the helper really uses, in the order shown.
const std::vector<Acknowledgment> &acknowledgments();

// The build date as the About window shows it: the executable's modification date in the
// locale's medium style, "Unknown" when there is none.
QString buildDateText(const std::optional<QDateTime> &modified, const QLocale &locale);
// "Version 1.0 (1) — Built 7 Dec 2026"
QString versionLine(const QString &version, const QString &buildNumber, const QString &buildDate);

// What the About window shows of this build.
struct AboutInfo {
    QString version = QStringLiteral("1.0");
    QString buildNumber = QStringLiteral("1");
    QString buildDate = QStringLiteral("Unknown");
    // The release notes; empty leaves their block out.
    QString releaseNotes;

    // This program: its version, build number, the executable's date and the release notes
    // that ship inside it.
    static AboutInfo current();
};

// The About window's content: icon, name, version line, description, release notes and
// acknowledgements, in a scrolling column 420 points wide.
class AboutWindow final : public QWidget {
    Q_OBJECT
public:
    explicit AboutWindow(const AboutInfo &info, QWidget *parent = nullptr);

    // The release notes block, absent when there are no notes.
    QWidget *releaseNotes() const { return m_releaseNotes; }
    QString versionText() const { return m_version; }

private:
    QWidget *m_releaseNotes = nullptr;
    QString m_version;
};

} // namespace cordavelle
