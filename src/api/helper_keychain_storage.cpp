#include "helper_keychain_storage.h"

#include "platform/keychain.h"
#include "platform/logger.h"

namespace cordavelle {

namespace {

const Logger &keychainLogger()
{
    static const Logger logger(QStringLiteral("com.kelvo.cordavelle-helper"), QStringLiteral("Keychain"));
    return logger;
}

// The keychain has no replace: the earlier item is taken out first and put back should the new
// one not go in, so that a failed save never leaves the client without any token.
int replaceToken(Keychain &keychain, const QString &token, const QString &clientId)
{
    QByteArray earlier;
    const bool hadEarlier = keychain.read(HelperKeychainStorage::kService, clientId, &earlier) == Keychain::kSuccess;
    int status = keychain.remove(HelperKeychainStorage::kService, clientId);
    if (status == Keychain::kSuccess || status == Keychain::kItemNotFound) {
        status = keychain.add(HelperKeychainStorage::kService, clientId, token.toUtf8());
        if (status != Keychain::kSuccess && hadEarlier) {
            keychain.add(HelperKeychainStorage::kService, clientId, earlier);
        }
    }
    return status;
}

std::optional<QString> saveFailure(const QString &clientId, int status)
{
    if (status == Keychain::kSuccess) {
        return std::nullopt;
    }
    keychainLogger().error(QStringLiteral("Failed to save pairing token for %1: OSStatus %2").arg(clientId, QString::number(status)));
    return Keychain::describe(status);
}

} // namespace

QCoro::Task<void> HelperKeychainStorage::settle() { co_await m_keychain.settle(); }

QCoro::Task<std::optional<QString>> HelperKeychainStorage::storeToken(QString token, QString clientId)
{
    auto status = std::make_shared<int>(Keychain::kTimedOut);
    // Named, not a temporary of the co_await: g++ 12 destroys such a temporary twice.
    std::function<void(Keychain &)> operation = [token, clientId, status](Keychain &keychain) {
        *status = replaceToken(keychain, token, clientId);
    };
    const bool ended = co_await m_keychain.run(std::move(operation));
    co_return saveFailure(clientId, ended ? *status : Keychain::kTimedOut);
}

QCoro::Task<HelperKeychainStorage::AllTokens> HelperKeychainStorage::readAllTokens()
{
    struct Read {
        int status = Keychain::kTimedOut;
        std::map<QString, QString> tokens;
    };
    auto read = std::make_shared<Read>();
    std::function<void(Keychain &)> operation = [read](Keychain &keychain) {
        QStringList owners;
        read->status = keychain.accounts(kService, &owners);
        if (read->status == Keychain::kItemNotFound) {
            read->status = Keychain::kSuccess;
        }
        for (const QString &owner : std::as_const(owners)) {
            if (read->status != Keychain::kSuccess) {
                break;
            }
            QByteArray data;
            read->status = keychain.read(kService, owner, &data);
            const QString text = QString::fromUtf8(data);
            if (read->status == Keychain::kSuccess && text.toUtf8() == data) {
                read->tokens[owner] = text;
            }
        }
    };
    const bool ended = co_await m_keychain.run(std::move(operation));
    if (!ended || read->status != Keychain::kSuccess) {
        const int status = ended ? read->status : Keychain::kTimedOut;
        keychainLogger().error(QStringLiteral("Could not read the pairing tokens: %1").arg(Keychain::describe(status)));
        co_return AllTokens{std::nullopt, status == Keychain::kTimedOut};
    }
    co_return AllTokens{std::move(read->tokens), false};
}

QCoro::Task<void> HelperKeychainStorage::removeTokens(QStringList clientIds, bool everyToken)
{
    auto status = std::make_shared<int>(Keychain::kTimedOut);
    std::function<void(Keychain &)> operation = [clientIds, everyToken, status](Keychain &keychain) {
        *status = Keychain::kSuccess;
        for (const QString &clientId : clientIds) {
            const int removed = keychain.remove(kService, clientId);
            if (removed != Keychain::kSuccess && removed != Keychain::kItemNotFound) {
                *status = removed;
            }
        }
        if (everyToken) {
            const int removed = keychain.removeAll(kService);
            if (removed != Keychain::kSuccess && removed != Keychain::kItemNotFound) {
                *status = removed;
            }
        }
    };
    // Named before the wait: the storage may be gone once it ends, its keychain not.
    Keychain &store = m_keychain;
    const bool ended = co_await store.run(std::move(operation));
    if (ended && everyToken && store.awaitsKeyring()) {
        keychainLogger().error(QStringLiteral("The pairing tokens in the desktop's keyring could not be removed: it is "
                                              "not answering; they are removed once it answers"));
    }
    if (!ended || *status != Keychain::kSuccess) {
        keychainLogger().error(QStringLiteral("Could not remove pairing tokens: %1")
                                   .arg(Keychain::describe(ended ? *status : Keychain::kTimedOut)));
    }
}

} // namespace cordavelle
