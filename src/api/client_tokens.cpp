#include "client_tokens.h"

#include "base/helper_logger.h"
#include "platform/clock.h"
#include "platform/keychain.h"

namespace cordavelle {

ClientTokens::ClientTokens(Keychain &keychain, Clock &clock, QObject *parent)
    : QObject(parent), m_storage(keychain), m_clock(clock)
{
}

ClientTokens::~ClientTokens() { m_lifetime.request_stop(); }

TokenState ClientTokens::state(const QString &clientId) const
{
    if (m_storing.contains(clientId)) {
        return {TokenState::Kind::storing, {}};
    }
    if (const auto token = this->token(clientId)) {
        return {TokenState::Kind::known, *token};
    }
    if (m_keyringSilent) {
        return {TokenState::Kind::awaitingKeyring, {}};
    }
    return {m_allKnown ? TokenState::Kind::lost : TokenState::Kind::unreadable, {}};
}

std::optional<QString> ClientTokens::token(const QString &clientId) const
{
    const auto utf8 = utf8Token(clientId);
    return utf8 ? std::optional(QString::fromUtf8(*utf8)) : std::nullopt;
}

std::optional<QByteArray> ClientTokens::utf8Token(const QString &clientId) const
{
    const auto it = m_tokenOf.find(clientId);
    return it == m_tokenOf.end() ? std::nullopt : std::optional(it->second);
}

QCoro::Task<void> ClientTokens::readAll() { return readAllOf(this, m_storage); }

QCoro::Task<void> ClientTokens::readAllOf(QPointer<ClientTokens> self, HelperKeychainStorage storage)
{
    const HelperKeychainStorage::AllTokens read = co_await storage.readAllTokens();
    if (self) {
        self->take(read);
    }
}

void ClientTokens::take(const HelperKeychainStorage::AllTokens &read)
{
    const bool fileStandsIn = m_storage.keychain().awaitsKeyring();
    // What was stored since the read began stays; the read brings in what the keychain held.
    std::optional<QStringList> owners;
    if (read.tokens) {
        owners.emplace();
        for (const auto &[id, token] : *read.tokens) {
            m_tokenOf[id] = token.toUtf8();
            *owners << id;
        }
    }
    m_allKnown = read.tokens.has_value() && !fileStandsIn;
    m_keyringSilent = read.notAnswering || fileStandsIn;
    Q_EMIT tokensRead(fileStandsIn ? std::nullopt : owners);
}

void ClientTokens::readWhenSettled()
{
    if (m_reading) {
        return;
    }
    m_reading.emplace();
    readWhenSettledOf(this, m_storage, m_clock, m_lifetime.get_token());
}

QCoro::Task<void> ClientTokens::readWhenSettledOf(QPointer<ClientTokens> self, HelperKeychainStorage storage,
                                                  Clock &clock, std::stop_token stop)
{
    co_await storage.settle();
    if (!self) {
        co_return;
    }
    co_await readAllOf(self, storage);
    if (!self) {
        co_return;
    }
    const async::Event done = *std::exchange(self->m_reading, std::nullopt);
    done.set();
    // Tokens the keyring holds are known once it answers: when it takes over from the file that
    // stood in for it, or when a read it did not answer is tried again.
    while (self && self->m_keyringSilent) {
        // Each wait is named: g++ 12 mishandles an awaited call that takes a stop token inside
        // a condition.
        bool waited = false;
        if (storage.keychain().awaitsKeyring()) {
            waited = co_await storage.keychain().keyringTakenOver(stop);
        } else {
            waited = co_await clock.sleep(kReadRetry, stop);
        }
        if (!waited || !self) {
            co_return;
        }
        co_await readAllOf(self, storage);
        if (self && !self->m_keyringSilent) {
            HelperLogger::info(QStringLiteral("[PairingManager] The desktop's keyring answered; every paired "
                                              "client's token is known again"),
                               HelperLogger::Category::services);
        }
    }
}

QCoro::Task<void> ClientTokens::untilRead() const
{
    if (!m_reading) {
        co_return;
    }
    const async::Event reading = *m_reading;
    co_await reading;
}

QCoro::Task<std::optional<QString>> ClientTokens::store(QString token, QString clientId)
{
    QPointer<ClientTokens> self(this);
    HelperKeychainStorage storage = m_storage;
    m_storing.insert(clientId);
    const std::optional<QString> failure = co_await storage.storeToken(token, clientId);
    if (!self) {
        co_return QStringLiteral("The helper is quitting");
    }
    m_storing.erase(clientId);
    if (failure) {
        co_return QString::fromUtf8("Could not save the pairing token \u2014 ") + *failure;
    }
    m_tokenOf[clientId] = token.toUtf8();
    co_return std::nullopt;
}

void ClientTokens::removeLater(QStringList clientIds, bool everyToken)
{
    for (const QString &id : std::as_const(clientIds)) {
        m_tokenOf.erase(id);
    }
    if (everyToken) {
        m_tokenOf.clear();
    }
    m_storage.removeTokens(std::move(clientIds), everyToken);
}

} // namespace cordavelle
