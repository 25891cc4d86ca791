#pragma once

#include <QString>

#include <memory>

class QFileDialog;

namespace cordavelle {

// The open panel for one program file, starting in `folder`, hidden files shown, with `message`
// as a line of help above the folder box (where the "Look in:" label keeps its own words). It has
// no parent yet.
std::unique_ptr<QFileDialog> makeProgramDialog(const QString &title, const QString &message, const QString &folder);

} // namespace cordavelle
