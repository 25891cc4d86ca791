#pragma once

#include "widgets/form_parts.h"
#include "widgets/status_look.h"
#include "radio/serial_port_manager.h"

#include <QString>

#include <vector>

class QFont;
class QFrame;
class QGroupBox;
class QLabel;
class QLayout;
class QPushButton;
class QToolButton;
class QVBoxLayout;
class QWidget;

// The building blocks the service pages share, drawn the same way on every page.
namespace cordavelle {

// A plain-text, wrapping label in one tone and, when given, one of the text styles.
QLabel *pageLabel(const QString &text, Tone tone, QFont (*style)(const QFont &) = nullptr);
// A titled group box around one widget; an empty title gives a box without header.
QGroupBox *pageSection(const QString &title, QWidget *content);
// The accent style for the primary action, the plain style otherwise.
QPushButton *pageButton(const QString &label, bool primary, const QString &help = {});
// A borderless "arrow.clockwise" button, with a text beside the icon when one is given.
QToolButton *refreshButton(const QString &text, const QString &help);
// A rounded box tinted faintly in `tone`, with the symbol in that tone beside `content`.
QFrame *noticeBox(const QString &symbol, Tone tone, QWidget *content);
// Takes every row out of a layout that a page fills afresh on each refresh.
void clearRows(QLayout *layout);

// The listed ports, with a saved port that is no longer listed put first so it stays
// selectable, named by its path.
std::vector<SerialPort> withSavedPort(const QString &saved, const std::vector<SerialPort> &listed);

} // namespace cordavelle
