#include "hamlib_installer.h"

#include "core/config_store.h"

namespace cordavelle {

QString HamlibInstaller::hamlibDir() { return ConfigStore::appSupportDir() + QStringLiteral("/hamlib"); }

QString HamlibInstaller::rigctldPath() { return hamlibDir() + QStringLiteral("/bin/rigctld"); }

} // namespace cordavelle
