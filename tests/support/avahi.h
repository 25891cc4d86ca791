#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

#include <chrono>
#include <map>
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

// `avahi-browse --resolve --parsable <type>` kept running from construction on: the services it
// has resolved and not yet seen withdrawn, as they come and go.
class AvahiBrowser {
public:
    explicit AvahiBrowser(const QString &type);
    ~AvahiBrowser();
    AvahiBrowser(const AvahiBrowser &) = delete;
    AvahiBrowser &operator=(const AvahiBrowser &) = delete;

    // As far as what avahi-browse has printed until now tells.
    QList<AvahiBrowseEntry> services();

private:
    QProcess m_process;
    QByteArray m_partialLine;
    // By interface, protocol and name: each is announced, and withdrawn, on its own.
    std::map<QByteArray, AvahiBrowseEntry> m_services;
};

} // namespace cordavelle::test
