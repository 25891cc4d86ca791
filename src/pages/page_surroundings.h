#pragma once

#include "platform/program_search.h"
#include "radio/serial_port_manager.h"

#include <QString>

#include <optional>
#include <vector>

class QWidget;

namespace cordavelle {

class AlertPresenter;

// What the Direwolf and rigctld pages ask of the computer and its user beyond the helper's own
// objects: the serial ports there are, the rigctld the tool look-up finds, and a program file
// the user picks.
class PageSurroundings {
public:
    virtual ~PageSurroundings() = default;
    virtual std::vector<SerialPort> listSerialPorts() = 0;
    // The rigctld the look-up finds, and the one it passed over because others could change it.
    virtual ProgramSearch lookUpRigctld() = 0;
    // An open panel for one program file starting in `folder`: the chosen path, or empty when
    // cancelled.
    virtual QString chooseProgram(QWidget *parent, const QString &title, const QString &message,
                                  const QString &folder) = 0;
};

// This computer's serial ports and tools, and a modal open panel.
class SystemPageSurroundings final : public PageSurroundings {
public:
    std::vector<SerialPort> listSerialPorts() override;
    ProgramSearch lookUpRigctld() override;
    QString chooseProgram(QWidget *parent, const QString &title, const QString &message,
                          const QString &folder) override;
};

// Why a start would refuse `path` as `program` ("rigctld"): someone other than root or this user
// could change it, or it can't be run; nothing when it would be launched. `workingFolder` is the
// folder the program runs in, when the start gives it one.
std::optional<QString> programRefusal(const QString &program, const QString &path, const QString &workingFolder = {});

// The picker of "Choose Custom…" for `program` ("rigctld"): a file that another user could
// change, or that can't be run, is not taken, and an alert says why, as a start from it would.
// The chosen path, or empty.
QString chooseUsableProgram(PageSurroundings &surroundings, AlertPresenter &alerts, QWidget *parent,
                            const QString &program, const QString &title, const QString &message,
                            const QString &folder, const QString &workingFolder = {});

} // namespace cordavelle
