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

} // namespace

QCoro::Task<void> HelperKeychainStorage::settle() { co_await m_keychain.settle(); }

std::optional<QString> HelperKeychainStorage::token(const QString &clientId) const
{
    QByteArray data;
    if (m_keychain.read(kService, clientId, &data) != Keychain::kSuccess) {
        return std::nullopt;
    }
    QString text = QString::fromUtf8(data);
    if (text.toUtf8() != data) {
        return std::nullopt; // not valid UTF-8
    }
    return text;
}

bool HelperKeychainStorage::hasNoToken(const QString &clientId) const
{
    return m_keychain.read(kService, clientId, nullptr) == Keychain::kItemNotFound;
}

std::optional<QString> HelperKeychainStorage::saveToken(const QString &token, const QString &clientId)
{
    // The keychain has no replace: the earlier item is taken out first and put back should the
    // new one not go in, so that a failed save never leaves the client without any token.
    QByteArray earlier;
    const bool hadEarlier = m_keychain.read(kService, clientId, &earlier) == Keychain::kSuccess;
    int status = m_keychain.remove(kService, clientId);
    if (status == Keychain::kSuccess || status == Keychain::kItemNotFound) {
        status = m_keychain.add(kService, clientId, token.toUtf8());
        if (status != Keychain::kSuccess && hadEarlier) {
            m_keychain.add(kService, clientId, earlier);
        }
    }
    if (status == Keychain::kSuccess) {
        return std::nullopt;
    }
    keychainLogger().error(QStringLiteral("Failed to save pairing token for %1: OSStatus %2").arg(clientId, QString::number(status)));
    return Keychain::describe(status);
}

void HelperKeychainStorage::deleteToken(const QString &clientId)
{
    m_keychain.remove(kService, clientId);
}

std::optional<QStringList> HelperKeychainStorage::tokenOwners() const
{
    QStringList owners;
    const int status = m_keychain.accounts(kService, &owners);
    if (status == Keychain::kItemNotFound) {
        return QStringList();
    }
    return status == Keychain::kSuccess ? std::optional(owners) : std::nullopt;
}

void HelperKeychainStorage::deleteAllTokens() { m_keychain.removeAll(kService); }

} // namespace cordavelle
