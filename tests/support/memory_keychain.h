#pragma once

#include "platform/attention.h"
#include "platform/keychain.h"

#include <QMap>

#include <optional>

namespace cordavelle::test {

// Keychain items in memory. `failReads`/`failWrites` make every read or add fail like a locked
// keychain; `room` makes an add fail that would hold more bytes in all than it, like a full disk.
class MemoryKeychain final : public Keychain {
public:
    int add(const QString &service, const QString &account, const QByteArray &data) override
    {
        if (failWrites) {
            return -25308;
        }
        auto &items = m_items[service];
        if (items.contains(account)) {
            return kDuplicateItem;
        }
        if (room && storedBytes() + data.size() > *room) {
            return kIOError;
        }
        items.insert(account, data);
        return kSuccess;
    }
    int read(const QString &service, const QString &account, QByteArray *data) override
    {
        if (failReads) {
            return -25308;
        }
        const auto items = m_items.value(service);
        if (!items.contains(account)) {
            return kItemNotFound;
        }
        if (data) {
            *data = items.value(account);
        }
        return kSuccess;
    }
    int remove(const QString &service, const QString &account) override
    {
        return m_items[service].remove(account) > 0 ? kSuccess : kItemNotFound;
    }
    int count(const QString &service, int *count) override
    {
        if (countFailure) {
            return *countFailure;
        }
        const int n = static_cast<int>(m_items.value(service).size());
        if (count) {
            *count = n;
        }
        return n == 0 ? kItemNotFound : kSuccess;
    }
    int removeAll(const QString &service) override
    {
        const bool any = !m_items.value(service).isEmpty();
        m_items.remove(service);
        return any ? kSuccess : kItemNotFound;
    }

    int accounts(const QString &service, QStringList *accounts) override
    {
        if (failReads) {
            return -25308;
        }
        const QStringList found = m_items.value(service).keys();
        if (accounts) {
            *accounts = found;
        }
        return found.isEmpty() ? kItemNotFound : kSuccess;
    }

    QMap<QString, QByteArray> items(const QString &service) const { return m_items.value(service); }

    bool failReads = false;
    bool failWrites = false;
    std::optional<qsizetype> room;
    // The status every count answers with instead of counting.
    std::optional<int> countFailure;

private:
    qsizetype storedBytes() const
    {
        qsizetype total = 0;
        for (const auto &items : m_items) {
            for (const QByteArray &data : items) {
                total += data.size();
            }
        }
        return total;
    }

    QMap<QString, QMap<QString, QByteArray>> m_items;
};

class RecordingAttention final : public Attention {
public:
    void requestUserAttention(bool critical) override { requests.push_back(critical); }
    std::vector<bool> requests;
};

} // namespace cordavelle::test
