#pragma once

#include "api/client_tokens.h"
#include "api/pairing_table.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>

#include <chrono>
#include <map>
#include <optional>
#include <set>
#include <stop_token>
#include <vector>

namespace cordavelle {

class Attention;
class Clock;
class Keychain;
class UserDefaults;

// Owns the table of paired clients and decides who may use the API. Records persist in the
// user defaults (PairingTable), tokens in the keychain (ClientTokens).
class PairingManager : public QObject {
    Q_OBJECT
    Q_PROPERTY(std::vector<cordavelle::PairedClient> clients READ clients NOTIFY clientsChanged)

public:
    static constexpr double kRateLimitSeconds = 1.0;
    static constexpr std::size_t kMaxClients = PairingTable::kMaxClients;
    static constexpr std::chrono::milliseconds kLastSeenSaveDelay{1000};

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

    const std::vector<PairedClient> &clients() const { return m_table.clients(); }
    int pendingCount() const { return m_table.pendingCount(); }

    // Reads every token from the keychain (without holding the caller), lapses stale approvals,
    // removes tokens no stored client owns, then indexes the approved tokens.
    QCoro::Task<void> warmTokenCache() { return m_tokens.readAll(); }
    // At start-up: warmTokenCache once the keychain has settled, which holds neither the caller
    // nor the API; a keyring that does not answer is given up on after a few seconds. Whatever
    // needs a token meanwhile waits for it through untilTokensWarm. Warms again once the keyring
    // takes over from the file that stood in for it, and every few seconds while the keyring
    // does not answer.
    void warmTokenCacheWhenSettled() { m_tokens.readWhenSettled(); }
    // Ends once the warm-up of warmTokenCacheWhenSettled has run; at once when none is under way.
    QCoro::Task<void> untilTokensWarm() const { return m_tokens.untilRead(); }

    // A known client whose token is gone from the keychain, or held only by a keyring that does
    // not answer, gets a new one. A second request for a client whose request is still being
    // stored is refused as rate-limited.
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
    TokenState tokenState(const QString &clientId) const { return m_tokens.state(clientId); }
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
    static bool constantTimeEquals(const QByteArray &a, const QByteArray &b);

Q_SIGNALS:
    // A client came, went, or changed anything but its last-seen time.
    void clientsChanged();
    // A client's last-seen time moved on; comes with every authenticated request.
    void lastSeenChanged();

private:
    struct Snapshot {
        PairingTable::Snapshot table;
        std::set<QString> validating;
    };

    Snapshot snapshot() const { return {m_table.snapshot(), m_validating}; }
    void restore(Snapshot before);
    // Writes the table and announces it; when it cannot be written, puts `before` back and
    // gives the reason.
    std::optional<QString> save(Snapshot before);
    // Writes the table only; the reason when it could not be written.
    std::optional<QString> write();
    // A last-seen time waiting to be written is written with the table, or no longer wanted.
    void cancelPendingSave();
    static QCoro::Task<void> saveLater(QPointer<PairingManager> self, Clock &clock, std::stop_token stop);
    // Lapses stale approvals, removes tokens no stored client owns, and indexes the approved ones.
    void tokensRead(const std::optional<QStringList> &owners);
    // Tokens of clients that no stored record names (a record lost with a kill between the two
    // writes); only swept when the whole table was read.
    void removeOrphanedTokens(const QStringList &owners);
    // The approved client's token opens the API from now on, once it is known.
    void admit(const QString &clientId);
    void announce() { Q_EMIT clientsChanged(); }
    // Enters the request in the table in memory; the caller saves.
    PairedClient registerPairing(const QString &clientId, const QString &hostname, const QString &platform,
                                 const std::optional<QString> &newToken);
    PairedClient *find(const QString &clientId) { return m_table.find(clientId); }

    Clock &m_clock;
    Attention &m_defaultAttention;
    Attention *m_attention;
    PairingTable m_table;
    ClientTokens m_tokens;
    // The clients whose token opens the API: approved, or pending again after an approval, with
    // their token known.
    std::set<QString> m_validating;
    std::map<QString, PairedClient::Time> m_lastRequestAt;
    // Set while a last-seen time waits to be written; any save of the table ends the wait.
    std::optional<std::stop_source> m_pendingSave;
    bool m_saidKeyringSilent = false;
};

} // namespace cordavelle
