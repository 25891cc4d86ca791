#include "pairing_table.h"

#include "base/helper_logger.h"
#include "platform/user_defaults.h"

namespace cordavelle {

PairingTable::PairingTable(UserDefaults &defaults) : m_defaults(defaults) { load(); }

PairedClient *PairingTable::find(const QString &clientId)
{
    auto it = std::find_if(m_clients.begin(), m_clients.end(), [&](const PairedClient &c) { return c.id == clientId; });
    return it == m_clients.end() ? nullptr : &*it;
}

const PairedClient *PairingTable::find(const QString &clientId) const
{
    return const_cast<PairingTable *>(this)->find(clientId);
}

int PairingTable::pendingCount() const
{
    return static_cast<int>(std::count_if(m_clients.begin(), m_clients.end(), [](const PairedClient &c) {
        return c.status == PairingStatus::pending;
    }));
}

bool PairingTable::readWhole() const
{
    return !m_storedTableUnreadable && m_undecodable.empty() && !m_defaults.hasDamagedCopyAside();
}

void PairingTable::restore(Snapshot before)
{
    m_clients = std::move(before.clients);
    m_undecodable = std::move(before.undecodable);
    m_storedTableUnreadable = before.storedTableUnreadable;
}

void PairingTable::clear()
{
    m_clients.clear();
    m_undecodable.clear();
    m_storedTableUnreadable = false;
}

PairedClient *PairingTable::evictionVictim(const std::function<bool(const PairedClient &)> &holdsApproval)
{
    PairedClient *victim = nullptr;
    for (auto &client : m_clients) {
        // Anyone may ask again under a known id, which sets an approved client back to pending;
        // such a client still holds its approval (its token still opens the API, or it claimed
        // one), and evicting it for a stranger's request would take its token away.
        const bool evictable = client.status == PairingStatus::denied
                               || (client.status == PairingStatus::pending && !client.tokenClaimedAt
                                   && !holdsApproval(client));
        if (evictable && (!victim || client.pairedAt < victim->pairedAt)) {
            victim = &client;
        }
    }
    return victim;
}

bool PairingTable::approvalLapsed(const PairedClient &client, PairedClient::Time now)
{
    return client.isApprovalUnclaimed()
           && std::chrono::duration<double>(now - client.pairedAt).count() > kUnclaimedApprovalLifetime;
}

void PairingTable::load()
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

std::optional<QString> PairingTable::write()
{
    if (m_storedTableUnreadable) {
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
    return std::nullopt;
}

} // namespace cordavelle
