#pragma once

#include <QString>
#include <QStringList>

namespace cordavelle {

// Reads back a direwolf.conf and keeps the lines a person added by hand, so that the file can
// be regenerated without losing them. Everything the helper writes itself (its comments, the
// directives it renders) is dropped wherever it stands; every other non-blank line is kept.
class DirewolfConfigParser {
public:
    DirewolfConfigParser() = delete;

    struct ParseResult {
        // Kept lines exactly as they stood, in file order, without leading or trailing blanks.
        QStringList userLines;
        // True exactly when a non-blank line was kept.
        bool hasUserContent = false;

        bool operator==(const ParseResult &) const = default;
    };

    // Directives that always belong to the helper.
    static const QStringList kOwnedGlobalKeywords;
    // Directives that belong to the helper while the current channel is 0.
    static const QStringList kOwnedChannelZeroKeywords;
    // The line that opens the user block.
    static const QString kUserBlockMarker;

    // True when the trimmed line starts like one of the comments the helper writes.
    static bool isOwnedComment(const QString &trimmed);

    // Accepts any text; the empty text gives no lines.
    static ParseResult parse(const QString &text);
};

} // namespace cordavelle
