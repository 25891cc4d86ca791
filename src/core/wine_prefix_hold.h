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

    // Takes the hold for `holder` once nobody else has it; false when `stop` came first. A removal
    // names what it removes in `removes` ("The Wine prefix"): while it holds, nothing is started
    // or installed in what is going, which waiting would only do into what is left of it.
    QCoro::Task<bool> acquire(const void *holder, QString name, std::stop_token stop,
                              std::optional<QString> removes = std::nullopt);
    // What the removal that has the hold removes; none while it is free or held by another kind.
    const std::optional<QString> &removal() const { return m_removes; }
    // What a removal of the whole prefix names.
    static QString wholePrefix() { return QStringLiteral("The Wine prefix"); }
    // Why nothing may start in or install into what `removal` removes.
    static QString removalRefusal(const QString &removal) { return removal + QStringLiteral(" is being removed."); }
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
    std::optional<QString> m_removes;
    async::Event m_released;
};

} // namespace cordavelle
