#pragma once

#include "api/paired_client.h"

#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace cordavelle {

class UserDefaults;

// The table of paired clients as the user defaults keep it ("pairedClients"), and the rules of
// who may stay in it. Records this version cannot read are kept as they were.
class PairingTable {
public:
    static constexpr std::size_t kMaxClients = 50;
    static constexpr double kUnclaimedApprovalLifetime = 600.0;
    static inline const QString kDefaultsKey = QStringLiteral("pairedClients");

    // What a change may touch, kept to put back when the change cannot be saved.
    struct Snapshot {
        std::vector<PairedClient> clients;
        std::vector<nlohmann::ordered_json> undecodable;
        bool storedTableUnreadable;
    };

    // Reads the stored table.
    explicit PairingTable(UserDefaults &defaults);

    const std::vector<PairedClient> &clients() const { return m_clients; }
    std::vector<PairedClient> &clients() { return m_clients; }
    PairedClient *find(const QString &clientId);
    const PairedClient *find(const QString &clientId) const;
    int pendingCount() const;
    bool isFull() const { return m_clients.size() >= kMaxClients; }

    // Whether every stored record was read, so that a token no record names has no owner.
    bool readWhole() const;
    // Whether the stored table is kept as it is (not a list), and nothing is written over it.
    bool keptAsStored() const { return m_storedTableUnreadable; }

    Snapshot snapshot() const { return {m_clients, m_undecodable, m_storedTableUnreadable}; }
    void restore(Snapshot before);
    // Every record goes, unread ones included; nothing is written.
    void clear();
    // Writes the whole table; the reason when it could not be written.
    std::optional<QString> write();

    // The record a new client's request may push out of a full table: the earliest paired of
    // those that `holdsApproval` does not protect; nullptr when none may go.
    PairedClient *evictionVictim(const std::function<bool(const PairedClient &)> &holdsApproval);
    // Whether an approval was never claimed within its lifetime from the pairing.
    static bool approvalLapsed(const PairedClient &client, PairedClient::Time now);

private:
    void load();

    UserDefaults &m_defaults;
    std::vector<PairedClient> m_clients;
    std::vector<nlohmann::ordered_json> m_undecodable;
    // A stored table that is not a list at all: kept as it is, so nothing is saved over it until
    // the user clears the pairings.
    bool m_storedTableUnreadable = false;
};

} // namespace cordavelle
