#include "pairing_manager.h"

#include "base/helper_logger.h"
#include "platform/platform.h"

#include <QCoreApplication>

#include <sys/random.h>

#include <array>

namespace cordavelle {

namespace {

double secondsBetween(PairedClient::Time earlier, PairedClient::Time later)
{
    return std::chrono::duration<double>(later - earlier).count();
}

} // namespace

PairingManager &PairingManager::shared()
{
    static PairingManager *instance =
        new PairingManager(Platform::current().standardDefaults(), Platform::current().clock(),
                           Platform::current().keychain(), Platform::current().attention());
    return *instance;
}

PairingManager::PairingManager(UserDefaults &defaults, Clock &clock, Keychain &keychain, Attention &attention,
                               QObject *parent)
    : QObject(parent), m_defaults(defaults), m_clock(clock), m_tokens(keychain), m_defaultAttention(attention),
      m_attention(&attention)
{
    load();
    if (QCoreApplication *app = QCoreApplication::instance()) {
        connect(app, &QCoreApplication::aboutToQuit, this, &PairingManager::flushPendingSave);
    }
}

int PairingManager::pendingCount() const
{
    return static_cast<int>(std::count_if(m_clients.begin(), m_clients.end(), [](const PairedClient &c) {
        return c.status == PairingStatus::pending;
    }));
}

PairedClient *PairingManager::find(const QString &clientId)
{
    auto it = std::find_if(m_clients.begin(), m_clients.end(), [&](const PairedClient &c) { return c.id == clientId; });
    return it == m_clients.end() ? nullptr : &*it;
}

PairingManager::~PairingManager() { m_lifetime.request_stop(); }

QCoro::Task<void> PairingManager::warmTokenCache() { return warm(this, m_tokens); }

QCoro::Task<void> PairingManager::warm(QPointer<PairingManager> self, HelperKeychainStorage tokens)
{
    const HelperKeychainStorage::AllTokens read = co_await tokens.readAllTokens();
    if (self) {
        self->takeTokens(read);
    }
}

void PairingManager::takeTokens(const HelperKeychainStorage::AllTokens &read)
{
    const bool fileStandsIn = m_tokens.keychain().awaitsKeyring();
    // What was stored since the read began stays; the read brings in what the keychain held.
    if (read.tokens) {
        for (const auto &[id, token] : *read.tokens) {
            m_tokenOf[id] = token;
        }
    }
    m_allTokensKnown = read.tokens.has_value() && !fileStandsIn;
    m_keyringSilent = read.notAnswering || fileStandsIn;
    sweepUnclaimedApprovals();
    if (read.tokens && !fileStandsIn) {
        QStringList owners;
        for (const auto &[id, token] : *read.tokens) {
            owners << id;
        }
        removeOrphanedTokens(owners);
    }
    rebuildTokenIndex();
}

void PairingManager::warmTokenCacheWhenSettled()
{
    if (m_warming) {
        return;
    }
    m_warming.emplace();
    warmWhenSettled(this, m_tokens, m_clock, m_lifetime.get_token());
}

QCoro::Task<void> PairingManager::warmWhenSettled(QPointer<PairingManager> self, HelperKeychainStorage tokens,
                                                  Clock &clock, std::stop_token stop)
{
    co_await tokens.settle();
    if (!self) {
        co_return;
    }
    co_await warm(self, tokens);
    if (!self) {
        co_return;
    }
    const async::Event warmed = *std::exchange(self->m_warming, std::nullopt);
    warmed.set();
    // Tokens the keyring holds are known once it answers: when it takes over from the file that
    // stood in for it, or when a read it did not answer is tried again.
    while (self && self->m_keyringSilent) {
        // Each wait is named: g++ 12 mishandles an awaited call that takes a stop token inside
        // a condition.
        bool waited = false;
        if (tokens.keychain().awaitsKeyring()) {
            waited = co_await tokens.keychain().keyringTakenOver(stop);
        } else {
            waited = co_await clock.sleep(kTokenReadRetry, stop);
        }
        if (!waited) {
            co_return;
        }
        if (!self) {
            co_return;
        }
        co_await warm(self, tokens);
        if (self && !self->m_keyringSilent) {
            HelperLogger::info(QStringLiteral("[PairingManager] The desktop's keyring answered; every paired "
                                              "client's token is known again"),
                               HelperLogger::Category::services);
        }
    }
}

QCoro::Task<void> PairingManager::untilTokensWarm() const
{
    if (!m_warming) {
        co_return;
    }
    const async::Event warm = *m_warming;
    co_await warm;
}

void PairingManager::removeOrphanedTokens(const QStringList &owners)
{
    if (m_storedTableUnreadable || !m_undecodable.empty() || m_defaults.hasDamagedCopyAside()) {
        return;
    }
    QStringList orphans;
    for (const QString &owner : owners) {
        if (!find(owner) && !m_storing.contains(owner)) {
            orphans << owner;
            m_tokenOf.erase(owner);
        }
    }
    if (!orphans.isEmpty()) {
        removeTokensLater(orphans);
        HelperLogger::info(QStringLiteral("[PairingManager] Removed %1 pairing token(s) that no stored client owns").arg(orphans.size()),
                           HelperLogger::Category::services);
    }
}

void PairingManager::removeTokensLater(QStringList clientIds, bool everyToken)
{
    for (const QString &id : std::as_const(clientIds)) {
        m_tokenOf.erase(id);
    }
    if (everyToken) {
        m_tokenOf.clear();
    }
    // The removal is queued behind every keychain operation asked for before it, so a token
    // stored later for the same client is not removed.
    m_tokens.removeTokens(std::move(clientIds), everyToken);
}

std::optional<QString> PairingManager::knownToken(const QString &clientId) const
{
    const auto it = m_tokenOf.find(clientId);
    return it == m_tokenOf.end() ? std::nullopt : std::optional(it->second);
}

bool PairingManager::cannotTellTokens()
{
    if (!m_keyringSilent) {
        return false;
    }
    const bool someUnknown = std::any_of(m_clients.begin(), m_clients.end(), [this](const PairedClient &c) {
        return c.status == PairingStatus::approved && !m_approvedTokens.contains(c.id);
    });
    if (someUnknown && !std::exchange(m_saidKeyringSilent, true)) {
        HelperLogger::warning(QStringLiteral("[PairingManager] The desktop's keyring is not answering: a request "
                                             "whose token may be in it is answered 503 until it does"),
                              HelperLogger::Category::services);
    }
    return someUnknown;
}

bool PairingManager::tokenAwaitsKeyring(const QString &clientId) const
{
    return m_keyringSilent && !m_tokenOf.contains(clientId);
}

bool PairingManager::isEvictable(const PairedClient &client) const
{
    // Anyone may ask again under a known id, which sets an approved client back to pending; such a
    // client still holds its approval (its token still opens the API, or it claimed one), and
    // evicting it for a stranger's request would take its token away.
    switch (client.status) {
    case PairingStatus::approved:
        return false;
    case PairingStatus::pending:
        return !client.tokenClaimedAt && !m_approvedTokens.contains(client.id);
    case PairingStatus::denied:
        return true;
    }
    return false;
}

std::vector<PairedClient>::iterator PairingManager::evictionVictim()
{
    auto victim = m_clients.end();
    for (auto it = m_clients.begin(); it != m_clients.end(); ++it) {
        if (isEvictable(*it) && (victim == m_clients.end() || it->pairedAt < victim->pairedAt)) {
            victim = it;
        }
    }
    return victim;
}

QCoro::Task<PairingManager::PairingResult> PairingManager::requestPairing(QString clientId, QString hostname,
                                                                          QString platform, QString fromHost)
{
    sweepUnclaimedApprovals();
    const auto now = m_clock.wallNow();
    bool known = find(clientId) != nullptr;

    if (!fromHost.isEmpty() && !known) {
        auto last = m_lastRequestAt.find(fromHost);
        if (last != m_lastRequestAt.end() && secondsBetween(last->second, now) < kRateLimitSeconds) {
            co_return PairingResult{PairingResult::Kind::rateLimited, std::nullopt, {}};
        }
        m_lastRequestAt[fromHost] = now;
    }
    if (m_storing.contains(clientId)) {
        co_return PairingResult{PairingResult::Kind::rateLimited, std::nullopt, {}};
    }

    // A known client whose token never reached the keychain, or was lost from it, would be
    // approved with nothing to authenticate with: it is given a new one. A token the keychain
    // could not be read for is no lost token.
    std::optional<QString> newToken;
    if (!known || (m_allTokensKnown && !m_tokenOf.contains(clientId))) {
        // Made before anything changes, so a failing random source leaves the table as it was.
        newToken = generateToken();
        if (!newToken) {
            HelperLogger::error(QStringLiteral("[PairingManager] Secure random source failed — pairing request refused"),
                                HelperLogger::Category::services);
            co_return PairingResult{PairingResult::Kind::tokenUnavailable, std::nullopt, {}};
        }
    }
    if (!known && m_clients.size() >= kMaxClients && evictionVictim() == m_clients.end()) {
        co_return PairingResult{PairingResult::Kind::capacityExceeded, std::nullopt, {}};
    }

    // The token goes in first and the table second, so that a stored record never names a token
    // that was not stored; each is taken back when the other fails.
    if (newToken) {
        QPointer<PairingManager> self(this);
        m_storing.insert(clientId);
        const std::optional<QString> failure = co_await m_tokens.storeToken(*newToken, clientId);
        if (!self) {
            co_return PairingResult{PairingResult::Kind::notSaved, std::nullopt, QStringLiteral("The helper is quitting")};
        }
        m_storing.erase(clientId);
        if (failure) {
            co_return PairingResult{PairingResult::Kind::notSaved, std::nullopt,
                                    QString::fromUtf8("Could not save the pairing token \u2014 ") + *failure};
        }
        m_tokenOf[clientId] = *newToken;
        // The table may have changed while the keychain took its time.
        known = find(clientId) != nullptr;
    }
    auto victim = known || m_clients.size() < kMaxClients ? m_clients.end() : evictionVictim();
    if (!known && m_clients.size() >= kMaxClients && victim == m_clients.end()) {
        removeTokensLater({clientId});
        co_return PairingResult{PairingResult::Kind::capacityExceeded, std::nullopt, {}};
    }
    Snapshot before = snapshot();
    std::optional<QString> evicted;
    if (victim != m_clients.end()) {
        evicted = victim->id;
        m_approvedTokens.erase(victim->id);
        m_clients.erase(victim);
    }
    const PairedClient record = registerPairing(clientId, hostname, platform, newToken);
    if (const auto failure = save(std::move(before))) {
        if (newToken) {
            removeTokensLater({clientId});
        }
        co_return PairingResult{PairingResult::Kind::notSaved, std::nullopt, *failure};
    }
    if (evicted) {
        removeTokensLater({*evicted});
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
        if (auto token = newToken ? newToken : knownToken(clientId)) {
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
    m_clients.push_back(record);
    return record;
}

std::optional<QString> PairingManager::approve(const QString &clientId)
{
    PairedClient *client = find(clientId);
    if (!client) {
        return std::nullopt;
    }
    Snapshot before = snapshot();
    client->status = PairingStatus::approved;
    if (auto token = knownToken(clientId)) {
        m_approvedTokens[clientId] = token->toUtf8();
    }
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
    m_approvedTokens.erase(clientId);
    return save(std::move(before));
}

std::optional<QString> PairingManager::revoke(const QString &clientId)
{
    Snapshot before = snapshot();
    std::erase_if(m_clients, [&](const PairedClient &c) { return c.id == clientId; });
    m_approvedTokens.erase(clientId);
    if (auto failure = save(std::move(before))) {
        return failure;
    }
    // A token left behind by a failed delete names no stored client, and the next start sweeps it.
    removeTokensLater({clientId});
    return std::nullopt;
}

std::optional<QString> PairingManager::clearAll()
{
    Snapshot before = snapshot();
    m_clients.clear();
    m_undecodable.clear();
    m_storedTableUnreadable = false;
    m_approvedTokens.clear();
    const std::vector<PairedClient> cleared = before.clients;
    if (auto failure = save(std::move(before))) {
        return failure;
    }
    QStringList ids;
    for (const auto &client : cleared) {
        ids << client.id;
    }
    removeTokensLater(ids, true);
    return std::nullopt;
}

void PairingManager::forgetAll()
{
    // A last-seen time waiting to be written would bring the old table back.
    cancelPendingSave();
    m_clients.clear();
    m_undecodable.clear();
    m_storedTableUnreadable = false;
    m_approvedTokens.clear();
    m_tokenOf.clear();
    m_lastRequestAt.clear();
    announce();
}

std::optional<QString> PairingManager::approveAllPending()
{
    Snapshot before = snapshot();
    for (auto &client : m_clients) {
        if (client.status != PairingStatus::pending) {
            continue;
        }
        client.status = PairingStatus::approved;
        if (auto token = knownToken(client.id)) {
            m_approvedTokens[client.id] = token->toUtf8();
        }
    }
    return save(std::move(before));
}

std::optional<PairedClient> PairingManager::client(const QString &clientId) const
{
    auto it = std::find_if(m_clients.begin(), m_clients.end(), [&](const PairedClient &c) { return c.id == clientId; });
    if (it == m_clients.end()) {
        return std::nullopt;
    }
    PairedClient copy = *it;
    copy.token = knownToken(clientId).value_or(QString());
    return copy;
}

std::optional<PairedClient> PairingManager::validateToken(QStringView candidate) const
{
    const QByteArray bytes = candidate.toUtf8();
    std::optional<QString> matched;
    for (const auto &[id, token] : m_approvedTokens) {
        if (constantTimeEquals(bytes, token)) {
            matched = id;
        }
    }
    if (!matched) {
        return std::nullopt;
    }
    auto it = std::find_if(m_clients.begin(), m_clients.end(), [&](const PairedClient &c) { return c.id == *matched; });
    if (it == m_clients.end()) {
        return std::nullopt;
    }
    return *it;
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

void PairingManager::announce()
{
    Q_EMIT clientsChanged();
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
    for (auto &client : m_clients) {
        if (client.isApprovalUnclaimed() && secondsBetween(client.pairedAt, now) > kUnclaimedApprovalLifetime) {
            client.status = PairingStatus::pending;
            m_approvedTokens.erase(client.id);
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
    m_approvedTokens.clear();
    for (const auto &client : m_clients) {
        if (client.status != PairingStatus::approved) {
            continue;
        }
        if (auto token = knownToken(client.id)) {
            m_approvedTokens[client.id] = token->toUtf8();
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

void PairingManager::load()
{
    if (!m_defaults.contains(kDefaultsKey)) {
        return;
    }
    const auto data = m_defaults.dataForKey(kDefaultsKey);
    const auto json = data ? nlohmann::ordered_json::parse(data->constBegin(), data->constEnd(), nullptr, false)
                           : nlohmann::ordered_json(nlohmann::ordered_json::value_t::discarded);
    if (json.is_discarded() || !json.is_array()) {
        m_storedTableUnreadable = true;
        HelperLogger::error(QStringLiteral("[PairingManager] The stored paired clients are not a list; keeping them as "
                                           "they are and saving no pairing changes until the pairings are cleared"),
                            HelperLogger::Category::services);
        return;
    }
    std::vector<PairedClient> decoded;
    std::vector<nlohmann::ordered_json> undecodable;
    for (const auto &element : json) {
        try {
            decoded.push_back(element.get<PairedClient>());
        } catch (const nlohmann::json::exception &) {
            undecodable.push_back(element);
        }
    }
    if (!undecodable.empty()) {
        HelperLogger::error(QStringLiteral("[PairingManager] %1 stored paired client(s) could not be read; keeping them as they are")
                                .arg(undecodable.size()),
                            HelperLogger::Category::services);
    }
    m_clients = std::move(decoded);
    m_undecodable = std::move(undecodable);
}

PairingManager::Snapshot PairingManager::snapshot() const
{
    return {m_clients, m_approvedTokens, m_undecodable, m_storedTableUnreadable};
}

void PairingManager::restore(Snapshot before)
{
    m_clients = std::move(before.clients);
    m_approvedTokens = std::move(before.approvedTokens);
    m_undecodable = std::move(before.undecodable);
    m_storedTableUnreadable = before.storedTableUnreadable;
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
    if (m_storedTableUnreadable) {
        cancelPendingSave();
        return std::nullopt;
    }
    std::string encoded;
    try {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto &client : m_clients) {
            array.push_back(client);
        }
        for (const auto &raw : m_undecodable) {
            array.push_back(raw);
        }
        encoded = array.dump();
    } catch (const nlohmann::json::exception &e) {
        const QString reason = QString::fromUtf8(e.what());
        HelperLogger::error(QStringLiteral("[PairingManager] Failed to encode paired clients — pairing state not persisted: ")
                                + reason,
                            HelperLogger::Category::services);
        return reason;
    }
    if (auto failure = m_defaults.setObject(kDefaultsKey, QByteArray::fromStdString(encoded))) {
        HelperLogger::error(QStringLiteral("[PairingManager] Could not save the paired clients: ") + *failure,
                            HelperLogger::Category::services);
        return failure;
    }
    cancelPendingSave();
    return std::nullopt;
}

void PairingManager::cancelPendingSave()
{
    if (m_pendingSave) {
        m_pendingSave->request_stop();
        m_pendingSave.reset();
    }
}

} // namespace cordavelle
