#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <optional>

namespace cordavelle {

class Keychain;

// The pairing tokens in the keychain: one generic password per client, account = client id.
class HelperKeychainStorage {
public:
    static inline const QString kService = QStringLiteral("com.cordavelle-helper.pairing-token");

    explicit HelperKeychainStorage(Keychain &keychain) : m_keychain(keychain) {}

    // Settles the keychain without holding the caller (Keychain::settle).
    QCoro::Task<void> settle();

    std::optional<QString> token(const QString &clientId) const;
    // Whether the keychain says the client has no token at all, as against one it can't read now.
    bool hasNoToken(const QString &clientId) const;
    // Replaces any earlier token of the client. On failure the earlier token stays, the failure
    // is logged, and the reason comes back.
    std::optional<QString> saveToken(const QString &token, const QString &clientId);
    void deleteToken(const QString &clientId);
    void deleteAllTokens();
    // The clients that have a token; absent when the keychain can't say.
    std::optional<QStringList> tokenOwners() const;

private:
    Keychain &m_keychain;
};

} // namespace cordavelle
