#pragma once

#include "base/service_model.h"
#include "install/installer.h"
#include "install/wine_without_32bit.h"
#include "setup/installer_row.h"
#include "setup/vara_facts.h"

#include <QString>

#include <functional>
#include <optional>

// What each line of the setup checklist shows, worked out from its installer's progress and the
// file-system checks of the moment. The checks are passed as functions because a line looks at
// them only in the states where they matter.
namespace cordavelle::checklist {

using Check = std::function<bool()>;

// A plain line: present, missing or outdated, with one action.
enum class ItemStatus { installed, notInstalled, needsUpdate };
struct ItemFacts {
    QString title;
    QString subtitle;
    ItemStatus status = ItemStatus::notInstalled;
    QString actionLabel;
    bool isLoading = false;
    bool hasConfigure = false;
};
InstallerRowLook itemLook(const ItemFacts &facts);

// The winetricks line: installed when the helper's own copy (which came with its Wine) or any
// other is found. Otherwise, with no Wine yet, that the Wine install brings it; beside a Wine
// that came without it, that it is missing, with the Helper's fetch of it and, where apt is,
// Debian's package.
struct WinetricksFacts {
    bool found = false;
    bool ownCopy = false;
    bool wineFound = false;
    // The fetch of the Helper's own copy alone.
    InstallProgress progress = {};
    bool apt = false;
    // The Helper's own Wine, which brings the own copy; beside a system Wine it came alone.
    bool ownWine = false;
    // Why the look-up passed over a winetricks that another user could change.
    std::optional<QString> passedOver = std::nullopt;
};
InstallerRowLook winetricksLook(const WinetricksFacts &facts);

// What is wrong with a Wine that cannot run VARA and the ways out (adviceFor), under a Wine line
// that offers the install.
void explainWineWithout32Bit(InstallerRowLook &look, const WineWithout32Bit &wine);

// `ownCopy`: the helper's own Wine; `wineElsewhere`: one elsewhere on the machine that can run
// VARA, asked only where the own copy is missing. A failed install beside a Wine that works
// reads as that Wine with the failure, not as a missing one. `without32Bit`: a Wine that is
// there but can't run VARA, said while no usable one is.
// `passedOver`: why the look-up passed over a Wine that another user could change, said while no
// usable one is.
InstallerRowLook wineLook(const InstallProgress &progress, const InstalledCopy &ownCopy, const Check &wineElsewhere,
                          const std::optional<WineWithout32Bit> &without32Bit = std::nullopt,
                          const std::optional<QString> &passedOver = std::nullopt);

struct PrefixFacts {
    Check initialized;     // the prefix's system32 folder exists
    Check hasDependencies; // both runtime libraries are in it
    Check wineFound;
    bool winetricksAvailable = false;
};
// Whether the prefix can run VARA: made, and holding both runtime libraries. Each action the
// prefix and VARA lines disable says why. A set-up that is still busy (a cancelled one winds
// down) offers no new one.
bool prefixReady(const PrefixFacts &facts);
InstallerRowLook winePrefixLook(const InstallProgress &progress, const PrefixFacts &facts);

// "High-performance HF modem by …" or "VHF/UHF FM modem by …".
QString varaSubtitle(VARAVariant variant);
InstallerRowLook varaLook(VARAVariant variant, const InstallProgress &progress, const VARAFacts &facts);

// `installed`: the helper's own rigctld, or else one found on the machine; `passedOver`: why the
// look-up passed over one that another user could change, said while none is installed.
InstallerRowLook hamlibLook(const InstallProgress &progress, const Check &installed, const QString &installedVersion,
                            const std::optional<QString> &passedOver = std::nullopt);

} // namespace cordavelle::checklist
