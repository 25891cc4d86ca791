#pragma once

#include "platform/logger.h"

namespace cordavelle {

// The log of the application shell: its delegate, windows and menus.
inline Logger &appLog()
{
    static Logger logger(QStringLiteral("com.kelvo.cordavelle-helper"), QStringLiteral("AppDelegate"));
    return logger;
}

} // namespace cordavelle
