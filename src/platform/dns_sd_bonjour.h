#pragma once

#include "bonjour.h"

#include <QElapsedTimer>

namespace cordavelle {

// The Linux backend of `Bonjour`: the DNS-SD API of Avahi's compatibility library, talking to
// avahi-daemon over the system bus. Each operation's socket is watched by a QSocketNotifier, so
// results arrive on the event loop of the thread that started the operation.
class DnsSdBonjour final : public Bonjour {
public:
    DnsSdBonjour();

    std::unique_ptr<BonjourRegistration> advertise(const BonjourServiceDescription &service,
                                                   quint16 port) override;
    std::unique_ptr<BonjourBrowser> browse(const QString &type, const QString &domain = {}) override;
    // Avahi's own host name (asked over the system bus: it may change it after a conflict; the
    // kernel's host name in ".local" where Avahi can't be asked), or an address of this machine's.
    bool isThisMachine(const QString &host) const override;

    // A readable text for a DNS-SD error code.
    static QString errorText(int code);

private:
    // Avahi's host name, lower case, remembered a while: the choice of a server asks for every
    // advert, and the window must not wait on the bus each time.
    QString avahiHostName() const;
    mutable QString m_avahiHostName;
    mutable QElapsedTimer m_avahiHostNameAge;
};

} // namespace cordavelle
