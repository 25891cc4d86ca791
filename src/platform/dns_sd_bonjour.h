#pragma once

#include "bonjour.h"

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

    // A readable text for a DNS-SD error code.
    static QString errorText(int code);
};

} // namespace cordavelle
