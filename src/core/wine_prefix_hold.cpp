#include "wine_prefix_hold.h"

#include <utility>

namespace cordavelle {

WinePrefixHold &WinePrefixHold::shared()
{
    static WinePrefixHold hold;
    return hold;
}

std::optional<QString> WinePrefixHold::otherHolder(const void *holder) const
{
    if (!m_holder || m_holder == holder) {
        return std::nullopt;
    }
    return m_name;
}

QCoro::Task<bool> WinePrefixHold::acquire(const void *holder, QString name, std::stop_token stop,
                                          std::optional<QString> removes)
{
    // Several may wait: whoever resumes first takes it, and the others wait again.
    while (otherHolder(holder)) {
        const bool free = co_await waitUntilFree(stop);
        if (!free) {
            co_return false;
        }
    }
    m_holder = holder;
    m_name = std::move(name);
    m_removes = std::move(removes);
    co_return true;
}

QCoro::Task<bool> WinePrefixHold::waitUntilFree(std::stop_token stop) const
{
    while (m_holder) {
        // A copy shares the event: the release replaces the member before setting it.
        const async::Event released = m_released;
        const bool woken = co_await released.wait(stop);
        if (!woken) {
            co_return false;
        }
    }
    co_return true;
}

void WinePrefixHold::release(const void *holder)
{
    if (!isHeldBy(holder)) {
        return;
    }
    m_holder = nullptr;
    m_name.clear();
    m_removes.reset();
    std::exchange(m_released, async::Event{}).set();
}

} // namespace cordavelle
