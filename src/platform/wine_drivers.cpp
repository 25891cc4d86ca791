#include "wine_drivers.h"

#include "platform.h"

namespace cordavelle {

namespace {

const QString kPulseDriver = QStringLiteral("winepulse.drv");

// Wine's wave devices carry their name in a field of 32 UTF-16 units with its terminator, and
// that is the name a program listing its devices sees.
QString asWaveDeviceName(const QString &description)
{
    constexpr qsizetype kMaxUnits = 31;
    QString name = description.left(kMaxUnits);
    if (name.size() == kMaxUnits && name.back().isHighSurrogate()) {
        name.chop(1);
    }
    return name;
}

} // namespace

QStringList LinuxWineDrivers::audioDriverKeys() const { return {kPulseDriver}; }

std::optional<QHash<QString, QString>> LinuxWineDrivers::deviceNames(const QString &driver, bool capture) const
{
    QHash<QString, QString> names;
    if (driver != kPulseDriver) {
        return names;
    }
    Command command;
    command.program = QStringLiteral("/usr/bin/pactl");
    command.arguments = {QStringLiteral("list"), capture ? QStringLiteral("sources") : QStringLiteral("sinks")};
    // The field labels are translated in other locales.
    command.environment = {{QStringLiteral("LC_ALL"), QStringLiteral("C")}};
    command.captureOutput = true;
    const CommandResult result = Platform::current().commandRunner().runAndWait(command);
    if (!result.started || result.crashed || result.exitStatus != 0) {
        return names;
    }

    // One block per node; its own fields are indented by one tab, its properties by two.
    const QString nameLabel = QStringLiteral("\tName: ");
    const QString descriptionLabel = QStringLiteral("\tDescription: ");
    QString node;
    for (const QString &line : QString::fromUtf8(result.standardOutput).split(u'\n')) {
        if (!line.startsWith(u'\t')) {
            node.clear();
        } else if (line.startsWith(nameLabel)) {
            node = line.mid(nameLabel.size());
        } else if (line.startsWith(descriptionLabel) && !node.isEmpty()) {
            names.insert(node, asWaveDeviceName(line.mid(descriptionLabel.size())));
        }
    }
    return names;
}

} // namespace cordavelle
