#include "system_info.h"

#include <sys/utsname.h>

namespace cordavelle {

QString UnameSystemInfo::machineArchitecture() const
{
    utsname name{};
    if (uname(&name) != 0) {
        return {};
    }
    return QString::fromLatin1(name.machine);
}

QString UnameSystemInfo::hostName() const
{
    utsname name{};
    if (uname(&name) != 0) {
        return {};
    }
    return QString::fromLocal8Bit(name.nodename);
}

} // namespace cordavelle
