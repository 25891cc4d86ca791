#pragma once

#include <QString>

#include <optional>

namespace cordavelle {

// A Wine on the machine that cannot run 32-bit programs, so not VARA.
struct WineWithout32Bit {
    QString path;
    // Debian's packaging, which Debian's 32-bit package completes; the apt commands are offered.
    bool debian = false;
    bool operator==(const WineWithout32Bit &) const = default;
};

// The machine's Wine that cannot run VARA, while it has none that can; none otherwise.
std::optional<WineWithout32Bit> wineWithout32Bit();

// "sudo dpkg --add-architecture i386 && sudo apt update && sudo apt install wine32:i386".
extern const QString kWine32Command;

// What is wrong with such a Wine and the ways out: `note` says it, ending in a colon when
// `command` (empty otherwise) is one of them. Every surface that names such a Wine says this.
struct WineWithout32BitAdvice {
    QString note;
    QString command;
};
WineWithout32BitAdvice adviceFor(const WineWithout32Bit &wine);

} // namespace cordavelle
