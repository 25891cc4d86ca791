#pragma once

#include "platform/terminal.h"

#include <QFile>
#include <QStringList>

namespace cordavelle::test {

// Records the scripts it is asked to open (with their text at that moment, since nothing runs
// them) instead of starting a terminal.
class RecordingTerminal final : public Terminal {
public:
    bool openScript(const QString &scriptPath) override
    {
        opened << scriptPath;
        QFile file(scriptPath);
        scripts << (file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString());
        return result;
    }

    QStringList opened;
    QStringList scripts;
    bool result = true;
};

} // namespace cordavelle::test
