#pragma once

#include "api/helper_keychain_storage.h"
#include "async/event.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QStringList>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <stop_token>

namespace cordavelle {

class Clock;

// What is known of one client's token.
struct TokenState {
    enum class Kind {
        // Read from the keychain, or stored during this run.
        known,
        // The desktop's keyring has not answered, and it may hold the token.
        awaitingKeyring,
        // The keychain answered with a failure (locked, refused): the token may be there.
        unreadable,
        // A pairing request is storing a new one.
        storing,
        // The keychain answered for every token and holds none for the client.
        lost,
    };
    Kind kind;
    // Set when known.
    QString token;

    // Whether a pairing request of a known client makes it a new token: one that is gone, or one
    // that only a keyring that does not answer holds (the new one, kept in the file meanwhile,
    // replaces it when the keyring takes over).
    bool wantsNewToken() const { return kind == Kind::lost || kind == Kind::awaitingKeyring; }
};

// The pairing tokens as read from and written to the keychain. The keychain is read once at the
// start, so that no request and no click waits for the keyring, and what is stored since is added;
// while the keyring does not answer, it is read again once it does.
class ClientTokens : public QObject {
    Q_OBJECT

public:
    // How soon a read of the tokens that the keyring did not answer is tried again.
    static constexpr std::chrono::milliseconds kReadRetry{5000};

    ClientTokens(Keychain &keychain, Clock &clock, QObject *parent = nullptr);
    ~ClientTokens() override;

    TokenState state(const QString &clientId) const;
    std::optional<QString> token(const QString &clientId) const;
    // In the form tokens are compared in, so that a request converts only its own.
    std::optional<QByteArray> utf8Token(const QString &clientId) const;
    // Whether the keychain has not answered: the file stands in for the keyring, or the last read
    // was given up on.
    bool keyringSilent() const { return m_keyringSilent; }

    // Reads every token without holding the caller, then announces `tokensRead`.
    QCoro::Task<void> readAll();
    // readAll once the keychain has settled; again once the keyring takes over from the file that
    // stood in for it, and every few seconds while the keyring does not answer.
    void readWhenSettled();
    // Ends once the first read of readWhenSettled has been taken in; at once when none is under way.
    QCoro::Task<void> untilRead() const;

    // Stores a client's new token, replacing any earlier one; the reason when it could not be.
    QCoro::Task<std::optional<QString>> store(QString token, QString clientId);
    // Forgets the clients' tokens now and removes them from the keychain in the background, queued
    // behind every operation asked for before; `everyToken` also those of clients no longer known.
    void removeLater(QStringList clientIds, bool everyToken = false);
    // Forgets every token, removing nothing: a reset has removed them already.
    void forgetAll() { m_tokenOf.clear(); }

Q_SIGNALS:
    // A read of the keychain was taken in. `owners` are the clients it holds a token of, when the
    // keyring itself answered with all of them (not the file standing in for it).
    void tokensRead(const std::optional<QStringList> &owners);

private:
    static QCoro::Task<void> readAllOf(QPointer<ClientTokens> self, HelperKeychainStorage storage);
    static QCoro::Task<void> readWhenSettledOf(QPointer<ClientTokens> self, HelperKeychainStorage storage,
                                               Clock &clock, std::stop_token stop);
    void take(const HelperKeychainStorage::AllTokens &read);

    HelperKeychainStorage m_storage;
    Clock &m_clock;
    // Every client's token as the last read found it, and each stored since.
    std::map<QString, QByteArray> m_tokenOf;
    // Whether m_tokenOf holds every token the keychain holds, so that one it lacks is gone.
    bool m_allKnown = false;
    bool m_keyringSilent = false;
    // Clients whose pairing request is storing a token.
    std::set<QString> m_storing;
    // Set while the first read waits for the keychain; set off once it is taken in.
    std::optional<async::Event> m_reading;
    std::stop_source m_lifetime;
};

} // namespace cordavelle
