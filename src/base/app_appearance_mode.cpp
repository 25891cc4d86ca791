#include "app_appearance_mode.h"

namespace cordavelle {

QString displayName(AppAppearanceMode mode)
{
    switch (mode) {
    case AppAppearanceMode::dock: return QStringLiteral("Dock Only");
    case AppAppearanceMode::menuBar: return QStringLiteral("Menu Bar Only");
    case AppAppearanceMode::both: return QStringLiteral("Both");
    }
    return {};
}

bool showInDock(AppAppearanceMode mode) { return mode != AppAppearanceMode::menuBar; }

bool showInMenuBar(AppAppearanceMode mode) { return mode != AppAppearanceMode::dock; }

void to_json(Json &j, AppAppearanceMode value) { j = toRaw(value); }

void from_json(const Json &j, AppAppearanceMode &value)
{
    if (!j.is_string()) {
        throw JsonDecodeError(
            QStringLiteral("Expected an AppAppearanceMode string, found %1").arg(QString::fromUtf8(j.type_name())));
    }
    const QString raw = QString::fromStdString(j.get_ref<const std::string &>());
    const auto mode = fromRaw<AppAppearanceMode>(raw);
    if (!mode) {
        throw JsonDecodeError(QStringLiteral("Cannot initialize AppAppearanceMode from invalid value \"%1\"").arg(raw));
    }
    value = *mode;
}

} // namespace cordavelle
