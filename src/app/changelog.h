#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

#include <vector>

namespace cordavelle {

// One version's release notes: its "## " heading and the "- " items under it.
struct ChangelogEntry {
    QString heading;
    QStringList items;

    bool operator==(const ChangelogEntry &) const = default;
};

// Reads the small Markdown subset of the release notes: a "## " line starts an entry, a "- "
// line adds an item to the current one; everything else is ignored, and so are items before
// the first heading. Lines are not trimmed, so indented bullets do not count.
std::vector<ChangelogEntry> parseChangelog(const QString &text);

// The release notes as headings with bulleted items, shown verbatim.
class ChangelogView final : public QWidget {
    Q_OBJECT
public:
    explicit ChangelogView(const QString &text, QWidget *parent = nullptr);
};

} // namespace cordavelle
