#pragma once

#include "api/helper_keychain_storage.h"
#include "api/paired_client.h"
#include "async/event.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <optional>
#include <stop_token>

#include <map>
#include <set>
#include <vector>

namespace cordavelle {

class Attention;
class Clock;
class Keychain;
class Notifications;
class UserDefaults;

// Owns the table of paired clients and decides who may use the API. Records persist in the
// user defaults ("pairedClients"), tokens in the keychain.
class PairingManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<cordavelle::PairedClient> clients READ clients NOTIFY clientsChanged)

public:
    static constexpr double kRateLimitSeconds = 1.0;
    static constexpr std::size_t kMaxClients = 50;
    static constexpr double kUnclaimedApprovalLifetime = 600.0;
    static inline const QString kDefaultsKey = QStringLiteral("pairedClients");
    static constexpr std::chrono::milliseconds kLastSeenSaveDelay{1000};
    // How soon a read of the tokens that the keyring did not answer is tried again.
    static constexpr std::chrono::milliseconds kTokenReadRetry{5000};

    struct PairingResult {
        enum class Kind {
            accepted,
            rateLimited,
            capacityExceeded,
            // The system's random source failed: no token was made and nothing was stored.
            tokenUnavailable,
            // The token or the table could not be saved: table and tokens are as they were.
            notSaved,
        };
        Kind kind;
        std::optional<PairedClient> client; // set when accepted, token filled in
        QString failure;                    // why, when not saved
    };

    static PairingManager &shared();

    // Tokens live in `keychain`; a new request asks for the user's attention.
    PairingManager(UserDefaults &defaults, Clock &clock, Keychain &keychain, Attention &attention,
                   QObject *parent = nullptr);
    ~PairingManager() override;

    // Where a new request asks for the user's attention from now on: the application's windows
    // once it has some; none goes back to the one given at construction.
    void setAttention(Attention *attention) { m_attention = attention ? attention : &m_defaultAttention; }
    Attention &attention() const { return *m_attention; }

    const std::vector<PairedClient> &clients() const { return m_clients; }
    int pendingCount() const;

    // Reads every token from the keychain (without holding the caller), lapses stale approvals,
    // removes tokens no stored client owns, then indexes the approved tokens.
    QCoro::Task<void> warmTokenCache();
    // At start-up: warmTokenCache once the keychain has settled, which holds neither the caller
    // nor the API; a keyring that does not answer is given up on after a few seconds. Whatever
    // needs a token meanwhile waits for it through untilTokensWarm. Warms again once the keyring
    // takes over from the file that stood in for it, and every few seconds while the keyring
    // does not answer.
    void warmTokenCacheWhenSettled();
    // Ends once the warm-up of warmTokenCacheWhenSettled has run; at once when none is under way.
    QCoro::Task<void> untilTokensWarm() const;

    // A known client whose token is gone from the keychain gets a new one. A second request for
    // a client whose request is still being stored is refused as rate-limited.
    QCoro::Task<PairingResult> requestPairing(QString clientId, QString hostname, QString platform, QString fromHost);
    // Each change below is saved at once; one that cannot be saved is undone, leaving table,
    // index and tokens as they were, and the reason comes back.
    std::optional<QString> approve(const QString &clientId);
    std::optional<QString> deny(const QString &clientId);
    // The token goes only once the table without the client is saved.
    std::optional<QString> revoke(const QString &clientId);
    std::optional<QString> clearAll();
    // Drops the table and the token index from memory only, writing nothing: for after a reset
    // has already removed the stored table and the tokens.
    void forgetAll();
    std::optional<QString> approveAllPending();

    // A copy of the record with its keychain token (empty when none can be read).
    std::optional<PairedClient> client(const QString &clientId) const;
    // The approved client whose token equals the candidate; compares every token in full.
    std::optional<PairedClient> validateToken(QStringView candidate) const;
    // Whether a token may be valid though it matches none: an approved client's token is not
    // known because the desktop's keyring has not answered (yet). Said once in the log.
    bool cannotTellTokens();
    // Whether the approved client's token can't be known yet, the keyring not answering.
    bool tokenAwaitsKeyring(const QString &clientId) const;
    // Kept in memory at once and written behind at most once a second: every authenticated
    // request calls it, and rewriting the settings file each time would hold up the API. Announced
    // through `lastSeenChanged`, never `clientsChanged`, so that a view showing no last-seen time
    // does nothing and one showing it can pace its redraws.
    void updateLastSeen(const QString &clientId);
    // Writes a last-seen time that is still only in memory; runs at the application's quit.
    void flushPendingSave();
    // Fails only when the first hand-out cannot be recorded.
    std::optional<QString> markTokenClaimed(const QString &clientId);
    // Approvals whose token was not fetched within 600 s of pairing go back to pending.
    int sweepUnclaimedApprovals();
    // From the tokens read by the last warm-up and those stored since.
    void rebuildTokenIndex();

    // 32 bytes of the system's secure random source as 64 lower-case hex digits; absent when the
    // source fails.
    static std::optional<QString> generateToken();

    // The notification category with the Accept and Deny buttons of a pairing request.
    static void registerNotificationCategory(Notifications &notifications);
    // Puts a pending request before the user; a later one for the same client replaces it.
    static void sendPairingNotification(Notifications &notifications, const PairedClient &client);
    static bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

Q_SIGNALS:
    // A client came, went, or changed anything but its last-seen time.
    void clientsChanged();
    // A client's last-seen time moved on; comes with every authenticated request.
    void lastSeenChanged();

private:
    // What a change may touch, kept to put back when the change cannot be saved.
    struct Snapshot {
        std::vector<PairedClient> clients;
        std::map<QString, QByteArray> approvedTokens;
        std::vector<nlohmann::ordered_json> undecodable;
        bool storedTableUnreadable;
    };

    void load();
    Snapshot snapshot() const;
    void restore(Snapshot before);
    // Writes the table and announces it; when it cannot be written, puts `before` back and
    // gives the reason.
    std::optional<QString> save(Snapshot before);
    // Writes the table only; the reason when it could not be written.
    std::optional<QString> write();
    // A last-seen time waiting to be written is written with the table, or no longer wanted.
    void cancelPendingSave();
    // Tokens of clients that no stored record names (a record lost with a kill between the two
    // writes); only swept when the whole table was read.
    void removeOrphanedTokens(const QStringList &owners);
    static QCoro::Task<void> saveLater(QPointer<PairingManager> self, Clock &clock, std::stop_token stop);
    static QCoro::Task<void> warmWhenSettled(QPointer<PairingManager> self, HelperKeychainStorage tokens,
                                             Clock &clock, std::stop_token stop);
    static QCoro::Task<void> warm(QPointer<PairingManager> self, HelperKeychainStorage tokens);
    void takeTokens(const HelperKeychainStorage::AllTokens &read);
    std::optional<QString> knownToken(const QString &clientId) const;
    // The record a new client's request may push out of a full table; end() when none may go.
    std::vector<PairedClient>::iterator evictionVictim();
    // Removes tokens in the background; a failure is only logged.
    void removeTokensLater(QStringList clientIds, bool everyToken = false);
    void announce();
    // Enters the request in the table in memory; the caller saves.
    PairedClient registerPairing(const QString &clientId, const QString &hostname, const QString &platform,
                                 const std::optional<QString> &newToken);
    PairedClient *find(const QString &clientId);
    // Whether a new client's request may push this record out of a full table: only denied
    // records and pending ones that never held an approval.
    bool isEvictable(const PairedClient &client) const;

    UserDefaults &m_defaults;
    Clock &m_clock;
    HelperKeychainStorage m_tokens;
    Attention &m_defaultAttention;
    Attention *m_attention;
    std::vector<PairedClient> m_clients;
    // Stored records this version cannot read; kept as they were whenever the table is saved.
    std::vector<nlohmann::ordered_json> m_undecodable;
    // A stored table that is not a list at all: kept as it is, so nothing is saved over it until
    // the user clears the pairings.
    bool m_storedTableUnreadable = false;
    // Kept in UTF-8, the form they are compared in, so that a request converts only its own.
    std::map<QString, QByteArray> m_approvedTokens;
    std::map<QString, PairedClient::Time> m_lastRequestAt;
    // Set while a last-seen time waits to be written; any save of the table ends the wait.
    std::optional<std::stop_source> m_pendingSave;
    // Set while the start-up's warm-up waits for the keychain; set off once the cache is warm.
    std::optional<async::Event> m_warming;
    // Every client's token as the last warm-up read it, and each stored since: the keychain is
    // read once at start, so that no request and no click waits for the keyring.
    std::map<QString, QString> m_tokenOf;
    // Whether m_tokenOf holds every token the keychain holds, so that one it lacks is gone.
    bool m_allTokensKnown = false;
    // Whether the keychain has not answered: the file stands in for the keyring, or the last
    // read of the tokens was given up on.
    bool m_keyringSilent = false;
    bool m_saidKeyringSilent = false;
    // Clients whose pairing request is storing its token.
    std::set<QString> m_storing;
    std::stop_source m_lifetime;
};

} // namespace cordavelle
