#pragma once

#include <QCoroTask>
#include <QString>
#include <QStringList>

#include <map>
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
    Keychain &keychain() const { return m_keychain; }

    // None holds the caller's thread while the keychain takes its time (Keychain::run), and one
    // the keychain did not answer in time fails as such.
    struct AllTokens {
        // Client id to token; absent when the keychain could not say.
        std::optional<std::map<QString, QString>> tokens;
        // Whether the keychain did not answer, as against answering with a failure.
        bool notAnswering = false;
    };
    QCoro::Task<AllTokens> readAllTokens();
    // Replaces any earlier token of the client. On failure the earlier token stays, the failure
    // is logged, and the reason comes back.
    QCoro::Task<std::optional<QString>> storeToken(QString token, QString clientId);
    // Every failure is only logged: a token left behind names no stored client and the next
    // start sweeps it. `everyToken` also removes the tokens of clients no longer known.
    QCoro::Task<void> removeTokens(QStringList clientIds, bool everyToken = false);

private:
    Keychain &m_keychain;
};

} // namespace cordavelle
