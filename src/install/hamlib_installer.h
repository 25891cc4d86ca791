#pragma once

#include <QString>

namespace cordavelle {

// The helper's own copy of Hamlib's rigctld.
class HamlibInstaller {
public:
    // The helper's own Hamlib folder: the support folder + "hamlib".
    static QString hamlibDir();
    // "bin/rigctld" inside hamlibDir(): the first candidate of every rigctld look-up.
    static QString rigctldPath();
};

} // namespace cordavelle
