#include "rig_control_server_discovery.h"

#include "base/helper_logger.h"
#include "platform/platform.h"
#include "radio/rig_control_server_choice.h"

#include <QPointer>
#include <QRegularExpression>

#include <algorithm>

namespace cordavelle {

namespace {

const QString kDiscoveryTag = QStringLiteral("[RigControlServerDiscovery] ");

void log(const QString &message) { HelperLogger::info(kDiscoveryTag + message, HelperLogger::Category::services); }

// Decimal text with an optional sign, as the client writes it; "-0" is 0, any other negative
// number, a blank or anything past 65535 is no port.
std::optional<quint16> parsePort(const QString &text)
{
    // Anchored at the very end: "$" alone would also take a port followed by a line break.
    static const QRegularExpression decimal(QRegularExpression::anchoredPattern(QStringLiteral("[+-]?[0-9]+")));
    if (!decimal.match(text).hasMatch()) {
        return std::nullopt;
    }
    QString digits = text;
    const bool negative = digits.startsWith(QLatin1Char('-'));
    if (digits.startsWith(QLatin1Char('+')) || negative) {
        digits.remove(0, 1);
    }
    while (digits.size() > 1 && digits.startsWith(QLatin1Char('0'))) {
        digits.remove(0, 1);
    }
    if (negative) {
        return digits == QLatin1String("0") ? std::optional<quint16>(0) : std::nullopt;
    }
    if (digits.size() > 5) {
        return std::nullopt;
    }
    const int value = digits.toInt();
    if (value > 65535) {
        return std::nullopt;
    }
    return quint16(value);
}

// Names compare as Unicode text: canonically equal spellings are equal, and the order is that of
// the composed code points (so characters beyond the basic plane sort after all others).
QList<uint> comparable(const QString &name) { return name.normalized(QString::NormalizationForm_C).toUcs4(); }

bool radioNameBefore(const RigControlServerEndpoint &a, const RigControlServerEndpoint &b)
{
    const auto ua = comparable(a.radioName);
    const auto ub = comparable(b.radioName);
    return std::lexicographical_compare(ua.begin(), ua.end(), ub.begin(), ub.end());
}

// An advert that moved to another host is a change too: the choice trusts only this machine's.
bool sameAdverts(const QList<RigControlServerEndpoint> &a, const QList<RigControlServerEndpoint> &b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [](const RigControlServerEndpoint &x, const RigControlServerEndpoint &y) {
                          return x == y && x.host == y.host && x.fromThisMachine == y.fromThisMachine;
                      });
}

// This machine's adverts only: no other host's counts in any choice, and a crowd of them would
// print itself whole at each change.
QString printed(const QList<RigControlServerEndpoint> &endpoints)
{
    QStringList items;
    for (const auto &e : endpoints) {
        if (e.fromThisMachine) {
            items << QStringLiteral("\"%1@%2\"").arg(e.radioName, QString::number(e.port));
        }
    }
    return QLatin1Char('[') + items.join(QStringLiteral(", ")) + QLatin1Char(']');
}

} // namespace

RigControlServerDiscovery &RigControlServerDiscovery::shared()
{
    static RigControlServerDiscovery *instance = new RigControlServerDiscovery(Platform::current().bonjour(), Platform::current().clock());
    return *instance;
}

RigControlServerDiscovery::RigControlServerDiscovery(Bonjour &bonjour, Clock &clock, QObject *parent)
    : QObject(parent), m_bonjour(bonjour), m_clock(clock)
{
}

RigControlServerDiscovery::~RigControlServerDiscovery() = default;

void RigControlServerDiscovery::startBrowsing()
{
    if (m_browser) {
        return;
    }
    m_browser = m_bonjour.browse(kServiceType, QStringLiteral("local."));
    connect(m_browser.get(), &BonjourBrowser::resultsChanged, this, &RigControlServerDiscovery::processResults);
    connect(m_browser.get(), &BonjourBrowser::stateChanged, this, [this](const QString &state) {
        log(QStringLiteral("browser state: ") + state);
        const bool current = m_browser && m_browser->isCurrent();
        if (!current && m_isCurrent) {
            log(QStringLiteral("the Bonjour daemon can't be asked; the servers it listed last stay listed until it "
                               "answers again"));
        }
        setIsCurrent(current);
    });
    setIsBrowsing(true);
    setIsCurrent(true);
    log(QStringLiteral("browsing for ") + kServiceType);
}

void RigControlServerDiscovery::stopBrowsing()
{
    if (m_browser) {
        m_browser->disconnect(this);
        // Stopping may be asked from within the browser's own notification.
        m_browser.release()->deleteLater();
    }
    setIsBrowsing(false);
    setEndpoints({});
    m_unusable.clear();
    m_logged = QStringLiteral("[]");
    log(QStringLiteral("stopped browsing"));
}

void RigControlServerDiscovery::processResults(const QList<BonjourBrowseResult> &results)
{
    QList<RigControlServerEndpoint> found;
    std::map<QString, QString> unusable;
    const auto reportUnusable = [this, &unusable](const BonjourBrowseResult &result, const QString &line) {
        const QString key = result.description();
        const auto before = m_unusable.find(key);
        if (before == m_unusable.end() || before->second != line) {
            log(line);
        }
        unusable[key] = line;
    };
    for (const auto &result : results) {
        if (!result.txt) {
            reportUnusable(result, QStringLiteral("result missing TXT record: ") + result.description());
            continue;
        }
        const QString radio = result.txt->text(QStringLiteral("radio")).value_or(QString());
        const QString portText = result.txt->text(QStringLiteral("port")).value_or(QString());
        const auto port = parsePort(portText);
        if (radio.isEmpty() || !port) {
            reportUnusable(result, QStringLiteral("result has malformed TXT (radio=\"%1\", port=\"%2\")").arg(radio, portText));
            continue;
        }
        found.append({radio, *port, result.host, result.local});
    }
    m_unusable = std::move(unusable);
    std::stable_sort(found.begin(), found.end(), radioNameBefore);
    if (sameAdverts(found, m_endpoints)) {
        return;
    }
    if (QString shown = printed(found); shown != m_logged) {
        log(QStringLiteral("endpoints changed: ") + shown);
        m_logged = std::move(shown);
    }
    setEndpoints(std::move(found));
    if (m_onEndpointsChanged) {
        m_onEndpointsChanged();
    }
}

std::optional<RigControlServerEndpoint> RigControlServerDiscovery::endpoint(const QString &radioName) const
{
    for (const auto &e : m_endpoints) {
        if (servesRadio(e, radioName)) {
            return e;
        }
    }
    return std::nullopt;
}

QCoro::Task<std::optional<RigControlServerEndpoint>>
RigControlServerDiscovery::waitForEndpoint(QString radioName, std::chrono::milliseconds timeout)
{
    using namespace std::chrono_literals;
    QPointer<RigControlServerDiscovery> self = this;
    Clock &waitClock = m_clock;
    // Measured on the steady clock: a wall-clock jump must neither end the wait early nor
    // stretch it.
    const auto start = waitClock.now();
    while (true) {
        if (!self) {
            co_return std::nullopt;
        }
        // Another host's advert or another radio's ends no wait: the start would fall back on VOX.
        const auto found = std::find_if(m_endpoints.begin(), m_endpoints.end(), [&radioName](const RigControlServerEndpoint &e) {
            return e.fromThisMachine && (radioName.isEmpty() || servesRadio(e, radioName));
        });
        if (found != m_endpoints.end()) {
            // A copy: returned as it stands, the entry would be moved out of the list.
            co_return std::optional<RigControlServerEndpoint>(*found);
        }
        if (waitClock.now() - start >= timeout) {
            co_return std::nullopt;
        }
        co_await waitClock.sleep(100ms);
    }
}

void RigControlServerDiscovery::setEndpoints(QList<RigControlServerEndpoint> endpoints)
{
    if (sameAdverts(endpoints, m_endpoints)) {
        return;
    }
    m_endpoints = std::move(endpoints);
    Q_EMIT endpointsChanged(m_endpoints);
}

std::optional<std::chrono::milliseconds> RigControlServerDiscovery::settlingLeft(std::chrono::milliseconds grace) const
{
    if (!m_isBrowsing) {
        return std::nullopt;
    }
    if (!m_isCurrent) {
        return grace;
    }
    if (!m_currentAgainSince) {
        return std::nullopt;
    }
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(m_clock.now() - *m_currentAgainSince);
    return since < grace ? std::optional(grace - since) : std::nullopt;
}

void RigControlServerDiscovery::setIsCurrent(bool current)
{
    if (current == m_isCurrent) {
        return;
    }
    m_isCurrent = current;
    m_currentAgainSince = current ? std::optional(m_clock.now()) : std::nullopt;
    Q_EMIT isCurrentChanged(current);
}

void RigControlServerDiscovery::setIsBrowsing(bool browsing)
{
    if (browsing == m_isBrowsing) {
        return;
    }
    m_isBrowsing = browsing;
    Q_EMIT isBrowsingChanged(browsing);
}

} // namespace cordavelle
