#pragma once

#include "pages/page_surroundings.h"

#include <QStringList>

namespace cordavelle::test {

// Serial ports, a found rigctld and a picked program file as a test sets them; the folders the
// picker was opened in are kept.
struct ScriptedPageSurroundings : PageSurroundings {
    std::vector<SerialPort> listSerialPorts() override { return serialPorts; }
    ProgramSearch lookUpRigctld() override { return {foundRigctld, passedOverRigctld}; }
    QString chooseProgram(QWidget *, const QString &, const QString &, const QString &folder) override
    {
        pickerFolders << folder;
        return pickedBinary;
    }

    std::vector<SerialPort> serialPorts;
    std::optional<QString> foundRigctld;
    std::optional<PassedOver> passedOverRigctld;
    QString pickedBinary;
    QStringList pickerFolders;
};

} // namespace cordavelle::test
