#pragma once

#include "base/async/event.h"

#include <QCoroTask>
#include <QString>

#include <optional>
#include <stop_token>

namespace cordavelle {

// Which installer runs Wine in the helper's one prefix. Ending the prefix's wine server ends
// every Wine process in it, so an installer runs its Wine programs only while it has the hold,
// and another one waits for it.
class WinePrefixHold {
public:
    // The hold of the helper's prefix, shared by both VARA installers.
    static WinePrefixHold &shared();

    // The name of whoever has the hold, unless it is free or `holder` has it.
    std::optional<QString> otherHolder(const void *holder) const;
    bool isHeldBy(const void *holder) const { return m_holder && m_holder == holder; }

    // Takes the hold for `holder` once nobody else has it; false when `stop` came first.
    QCoro::Task<bool> acquire(const void *holder, QString name, std::stop_token stop);
    // Gives the hold up, when `holder` has it, and wakes whoever waits.
    void release(const void *holder);

private:
    const void *m_holder = nullptr;
    QString m_name;
    async::Event m_released;
};

} // namespace cordavelle
