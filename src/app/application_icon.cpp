#include "application_icon.h"

#include "platform/platform.h"

namespace cordavelle {

QIcon applicationIcon()
{
    return QIcon::fromTheme(kApplicationIdentifier,
                            QIcon(QStringLiteral(":/icons/") + kApplicationIdentifier + QStringLiteral(".svg")));
}

} // namespace cordavelle
