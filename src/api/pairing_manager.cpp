#include "pairing_manager.h"

#include "base/helper_logger.h"
#include "platform/attention.h"
#include "platform/clock.h"
#include "platform/platform.h"

#include <QCoreApplication>

#include <sys/random.h>

#include <array>

namespace cordavelle {

PairingManager &PairingManager::shared()
{
    static PairingManager *instance =
        new PairingManager(Platform::current().standardDefaults(), Platform::current().clock(),
                           Platform::current().keychain(), Platform::current().attention());
    return *instance;
}

PairingManager::PairingManager(UserDefaults &defaults, Clock &clock, Keychain &keychain, Attention &attention,
                               QObject *parent)
    : QObject(parent), m_clock(clock), m_defaultAttention(attention), m_attention(&attention), m_table(defaults),
      m_tokens(keychain, clock)
{
    connect(&m_tokens, &ClientTokens::tokensRead, this, &PairingManager::tokensRead);
    if (QCoreApplication *app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, &PairingManager::flushPendingSave);
    }
}

PairingManager::~PairingManager() = default;

void PairingManager::tokensRead(const std::optional<QStringList> &owners)
{
    sweepUnclaimedApprovals();
    if (owners) {
        removeOrphanedTokens(*owners);
    }
    rebuildTokenIndex();
}

void PairingManager::removeOrphanedTokens(const QStringList &owners)
{
    if (!m_table.readWhole()) {
        return;
    }
    QStringList orphans;
    for (const QString &owner : owners) {
        if (!find(owner) && m_tokens.state(owner).kind != TokenState::Kind::storing) {
            orphans << owner;
        }
    }
    if (!orphans.isEmpty()) {
        m_tokens.removeLater(orphans);
        HelperLogger::info(QStringLiteral("[PairingManager] Removed %1 pairing token(s) that no stored client owns").arg(orphans.size()),
                           HelperLogger::Category::services);
    }
}

bool PairingManager::cannotTellTokens()
{
    if (!m_tokens.keyringSilent()) {
        return false;
    }
    const bool someUnknown = std::any_of(clients().begin(), clients().end(), [this](const PairedClient &c) {
        return c.status == PairingStatus::approved && !m_validating.contains(c.id);
    });
    if (someUnknown && !std::exchange(m_saidKeyringSilent, true)) {
        HelperLogger::warning(QStringLiteral("[PairingManager] The desktop's keyring is not answering: a request "
                                             "whose token may be in it is answered 503 until it does"),
                              HelperLogger::Category::services);
    }
    return someUnknown;
}

QCoro::Task<PairingManager::PairingResult> PairingManager::requestPairing(QString clientId, QString hostname,
                                                                          QString platform, QString fromHost)
{
    sweepUnclaimedApprovals();
    const auto now = m_clock.wallNow();
    bool known = find(clientId) != nullptr;

    if (!fromHost.isEmpty() && !known) {
        auto last = m_lastRequestAt.find(fromHost);
        if (last != m_lastRequestAt.end() && std::chrono::duration<double>(now - last->second).count() < kRateLimitSeconds) {
            co_return PairingResult{PairingResult::Kind::rateLimited, std::nullopt, {}};
        }
        m_lastRequestAt[fromHost] = now;
    }
    const TokenState token = m_tokens.state(clientId);
    if (token.kind == TokenState::Kind::storing) {
        co_return PairingResult{PairingResult::Kind::rateLimited, std::nullopt, {}};
    }

    // A known client whose token never reached the keychain, or was lost from it, would be
    // approved with nothing to authenticate with: it is given a new one. A token the keychain
    // could not be read for is no lost token.
    std::optional<QString> newToken;
    if (!known || token.wantsNewToken()) {
        // Made before anything changes, so a failing random source leaves the table as it was.
        newToken = generateToken();
        if (!newToken) {
            HelperLogger::error(QStringLiteral("[PairingManager] Secure random source failed — pairing request refused"),
                                HelperLogger::Category::services);
            co_return PairingResult{PairingResult::Kind::tokenUnavailable, std::nullopt, {}};
        }
    }
    const auto holdsApproval = [this](const PairedClient &c) { return m_validating.contains(c.id); };
    if (!known && m_table.isFull() && !m_table.evictionVictim(holdsApproval)) {
        co_return PairingResult{PairingResult::Kind::capacityExceeded, std::nullopt, {}};
    }

    // The token goes in first and the table second, so that a stored record never names a token
    // that was not stored; each is taken back when the other fails.
    if (newToken) {
        QPointer<PairingManager> self(this);
        const std::optional<QString> failure = co_await m_tokens.store(*newToken, clientId);
        if (!self) {
            co_return PairingResult{PairingResult::Kind::notSaved, std::nullopt, QStringLiteral("The helper is quitting")};
        }
        if (failure) {
            co_return PairingResult{PairingResult::Kind::notSaved, std::nullopt, *failure};
        }
        // The table may have changed while the keychain took its time.
        known = find(clientId) != nullptr;
    }
    PairedClient *victim = known || !m_table.isFull() ? nullptr : m_table.evictionVictim(holdsApproval);
    if (!known && m_table.isFull() && !victim) {
        m_tokens.removeLater({clientId});
        co_return PairingResult{PairingResult::Kind::capacityExceeded, std::nullopt, {}};
    }
    Snapshot before = snapshot();
    std::optional<QString> evicted;
    if (victim) {
        evicted = victim->id;
        m_validating.erase(victim->id);
        std::erase_if(m_table.clients(), [&](const PairedClient &c) { return &c == victim; });
    }
    const PairedClient record = registerPairing(clientId, hostname, platform, newToken);
    if (const auto failure = save(std::move(before))) {
        if (newToken) {
            m_tokens.removeLater({clientId});
        }
        co_return PairingResult{PairingResult::Kind::notSaved, std::nullopt, *failure};
    }
    if (evicted) {
        m_tokens.removeLater({*evicted});
    }
    if (!known) {
        m_attention->requestUserAttention(true);
    }
    co_return PairingResult{PairingResult::Kind::accepted, record, {}};
}

PairedClient PairingManager::registerPairing(const QString &clientId, const QString &hostname,
                                             const QString &platform, const std::optional<QString> &newToken)
{
    if (PairedClient *existing = find(clientId)) {
        existing->hostname = hostname;
        existing->platform = platform;
        existing->status = PairingStatus::pending;
        existing->lastSeen = m_clock.wallNow();
        PairedClient copy = *existing;
        if (auto token = newToken ? newToken : m_tokens.token(clientId)) {
            copy.token = *token;
        }
        return copy;
    }

    PairedClient record;
    record.id = clientId;
    record.hostname = hostname;
    record.platform = platform;
    record.token = newToken.value_or(QString());
    record.pairedAt = m_clock.wallNow();
    record.lastSeen = m_clock.wallNow();
    record.status = PairingStatus::pending;
    m_table.clients().push_back(record);
    return record;
}

void PairingManager::admit(const QString &clientId)
{
    if (m_tokens.token(clientId)) {
        m_validating.insert(clientId);
    }
}

std::optional<QString> PairingManager::approve(const QString &clientId)
{
    PairedClient *client = find(clientId);
    if (!client) {
        return std::nullopt;
    }
    Snapshot before = snapshot();
    client->status = PairingStatus::approved;
    admit(clientId);
    return save(std::move(before));
}

std::optional<QString> PairingManager::deny(const QString &clientId)
{
    PairedClient *client = find(clientId);
    if (!client) {
        return std::nullopt;
    }
    Snapshot before = snapshot();
    client->status = PairingStatus::denied;
    m_validating.erase(clientId);
    return save(std::move(before));
}

std::optional<QString> PairingManager::revoke(const QString &clientId)
{
    Snapshot before = snapshot();
    std::erase_if(m_table.clients(), [&](const PairedClient &c) { return c.id == clientId; });
    m_validating.erase(clientId);
    if (auto failure = save(std::move(before))) {
        return failure;
    }
    // A token left behind by a failed delete names no stored client, and the next start sweeps it.
    m_tokens.removeLater({clientId});
    return std::nullopt;
}

std::optional<QString> PairingManager::clearAll()
{
    Snapshot before = snapshot();
    m_table.clear();
    m_validating.clear();
    const std::vector<PairedClient> cleared = before.table.clients;
    if (auto failure = save(std::move(before))) {
        return failure;
    }
    QStringList ids;
    for (const auto &client : cleared) {
        ids << client.id;
    }
    m_tokens.removeLater(ids, true);
    return std::nullopt;
}

void PairingManager::forgetAll()
{
    // A last-seen time waiting to be written would bring the old table back.
    cancelPendingSave();
    m_table.clear();
    m_validating.clear();
    m_tokens.forgetAll();
    m_lastRequestAt.clear();
    announce();
}

std::optional<QString> PairingManager::approveAllPending()
{
    Snapshot before = snapshot();
    for (auto &client : m_table.clients()) {
        if (client.status != PairingStatus::pending) {
            continue;
        }
        client.status = PairingStatus::approved;
        admit(client.id);
    }
    return save(std::move(before));
}

std::optional<PairedClient> PairingManager::client(const QString &clientId) const
{
    const PairedClient *found = m_table.find(clientId);
    if (!found) {
        return std::nullopt;
    }
    PairedClient copy = *found;
    copy.token = m_tokens.token(clientId).value_or(QString());
    return copy;
}

std::optional<PairedClient> PairingManager::validateToken(QStringView candidate) const
{
    const QByteArray bytes = candidate.toUtf8();
    std::optional<QString> matched;
    for (const QString &id : m_validating) {
        if (constantTimeEquals(bytes, m_tokens.utf8Token(id).value_or(QByteArray()))) {
            matched = id;
        }
    }
    if (!matched) {
        return std::nullopt;
    }
    const PairedClient *found = m_table.find(*matched);
    return found ? std::optional(*found) : std::nullopt;
}

void PairingManager::updateLastSeen(const QString &clientId)
{
    PairedClient *client = find(clientId);
    if (!client) {
        return;
    }
    client->lastSeen = m_clock.wallNow();
    if (!m_pendingSave) {
        m_pendingSave.emplace();
        saveLater(this, m_clock, m_pendingSave->get_token());
    }
    Q_EMIT lastSeenChanged();
}

QCoro::Task<void> PairingManager::saveLater(QPointer<PairingManager> self, Clock &clock, std::stop_token stop)
{
    const bool slept = co_await clock.sleep(kLastSeenSaveDelay, stop);
    if (!slept || !self) {
        co_return;
    }
    // Done waiting: the save must not stop the sleep that has just ended.
    self->m_pendingSave.reset();
    // The table itself is as it was; the new time went out through lastSeenChanged already.
    self->write();
}

void PairingManager::flushPendingSave()
{
    if (m_pendingSave) {
        write();
    }
}

std::optional<QString> PairingManager::markTokenClaimed(const QString &clientId)
{
    PairedClient *client = find(clientId);
    if (!client) {
        return std::nullopt;
    }
    const bool claimedBefore = client->tokenClaimedAt.has_value();
    Snapshot before = snapshot();
    const auto now = m_clock.wallNow();
    if (!claimedBefore) {
        client->tokenClaimedAt = now;
    }
    client->lastSeen = now;
    auto failure = save(std::move(before));
    if (failure && claimedBefore) {
        // The hand-out is on record already and only the last-seen time is new: it waits for a
        // later write, as the gate's do, rather than keeping a paired client from its token.
        updateLastSeen(clientId);
        return std::nullopt;
    }
    return failure;
}

int PairingManager::sweepUnclaimedApprovals()
{
    const auto now = m_clock.wallNow();
    int reset = 0;
    for (auto &client : m_table.clients()) {
        if (PairingTable::approvalLapsed(client, now)) {
            client.status = PairingStatus::pending;
            m_validating.erase(client.id);
            ++reset;
        }
    }
    // Lapsed approvals stay lapsed in memory even when the table cannot be written: the stored
    // table still holds them approved, and the next start lapses them again.
    if (reset > 0) {
        write();
        announce();
    }
    return reset;
}

void PairingManager::rebuildTokenIndex()
{
    m_validating.clear();
    for (const auto &client : clients()) {
        if (client.status == PairingStatus::approved) {
            admit(client.id);
        }
    }
}

std::optional<QString> PairingManager::generateToken()
{
    std::array<unsigned char, 32> buffer{};
    std::size_t filled = 0;
    while (filled < buffer.size()) {
        const ssize_t n = getrandom(buffer.data() + filled, buffer.size() - filled, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return std::nullopt;
        }
        filled += static_cast<std::size_t>(n);
    }
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(buffer.data()), buffer.size()).toHex());
}

bool PairingManager::constantTimeEquals(const QByteArray &a, const QByteArray &b)
{
    unsigned char accumulator = a.size() != b.size() ? 1 : 0;
    const qsizetype length = std::max(a.size(), b.size());
    for (qsizetype i = 0; i < length; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        accumulator |= static_cast<unsigned char>(x ^ y);
    }
    return accumulator == 0;
}

void PairingManager::restore(Snapshot before)
{
    m_table.restore(std::move(before.table));
    m_validating = std::move(before.validating);
}

std::optional<QString> PairingManager::save(Snapshot before)
{
    if (auto failure = write()) {
        restore(std::move(before));
        return QString::fromUtf8("Could not save the paired clients \u2014 ") + *failure;
    }
    announce();
    return std::nullopt;
}

std::optional<QString> PairingManager::write()
{
    // The whole table is written, last-seen times kept only in memory included.
    auto failure = m_table.write();
    if (!failure) {
        cancelPendingSave();
    }
    return failure;
}

void PairingManager::cancelPendingSave()
{
    if (m_pendingSave) {
        m_pendingSave->request_stop();
        m_pendingSave.reset();
    }
}

} // namespace cordavelle
