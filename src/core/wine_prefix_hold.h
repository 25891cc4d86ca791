#pragma once

#include "async/event.h"

#include <QCoroTask>
#include <QString>

#include <optional>
#include <stop_token>

namespace cordavelle {

// Who runs Wine programs of their own in the helper's one prefix: a VARA install's Wine phase,
// the prefix's set-up or its removal. Ending the prefix's wine server ends every Wine process in
// it, so whoever would end it, or work in the prefix, waits while another has the hold.
class WinePrefixHold {
public:
    // The hold of the helper's prefix, shared by its installers and the VARA starts.
    static WinePrefixHold &shared();

    // The name of whoever has the hold ("the VARA HF install"), unless it is free or `holder`
    // has it.
    std::optional<QString> otherHolder(const void *holder) const;
    // The name of whoever has the hold; none while it is free.
    std::optional<QString> holder() const { return otherHolder(nullptr); }
    bool isHeldBy(const void *holder) const { return m_holder && m_holder == holder; }

    // Takes the hold for `holder` once nobody else has it; false when `stop` came first.
    QCoro::Task<bool> acquire(const void *holder, QString name, std::stop_token stop);
    // Returns once nobody has the hold (true), or when `stop` came first (false).
    QCoro::Task<bool> waitUntilFree(std::stop_token stop) const;
    // Gives the hold up, when `holder` has it, and wakes whoever waits.
    void release(const void *holder);

    // What an installer shows while it waits for `holder`.
    static QString waitingLine(const QString &holder)
    {
        return QStringLiteral("Waiting for ") + holder + QStringLiteral(" to finish with the Wine prefix...");
    }

private:
    const void *m_holder = nullptr;
    QString m_name;
    async::Event m_released;
};

} // namespace cordavelle
