#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <optional>

namespace cordavelle::test {

// Whether an avahi-daemon answers (checked once per test binary with avahi's own browser).
bool avahiReachable();

// One resolved service as `avahi-browse --resolve --parsable` prints it, with avahi's escapes
// ("\032" for a blank) undone.
struct AvahiBrowseEntry {
    QString name;
    QString type;
    int port = 0;
    QStringList txt; // "key=value" strings, as avahi prints them
};

// Runs `avahi-browse -rtp <type>` to its end (at most `limit`) and returns the resolved services.
std::optional<QList<AvahiBrowseEntry>> avahiBrowse(const QString &type,
                                                   std::chrono::milliseconds limit = std::chrono::seconds(10));

} // namespace cordavelle::test
