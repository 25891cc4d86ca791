#pragma once

#include <QStringList>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QPlainTextEdit;
class QToolButton;

namespace cordavelle {

// "<n> lines", in plain decimal, also for 0 and 1.
QString logLineCountText(qsizetype count);
// The lines joined by single line feeds, none after the last.
QString logCopyText(const QStringList &lines);
// A line as the viewer shows it: control characters other than tabs (a program's stray NUL, an
// escape sequence) become their visible symbols (U+2400 and on), since assistive technology
// reads the text as a C string and would stop at a NUL where the drawn text goes on.
QString logShownLine(const QString &line);
// Where the log scrolls when its number of lines goes from `previous` to `now`: to the last
// line when the count changed and some line is left; nowhere otherwise.
std::optional<qsizetype> logScrollTarget(qsizetype previous, qsizetype now);

// A collapsible "Log Output" box over a list of lines (a service's output or an installer's
// log): line count, copy and, when the owner can empty the log, clear. It starts collapsed and
// keeps to the end of the log as lines arrive.
class LogViewer final : public QWidget {
    Q_OBJECT
public:
    explicit LogViewer(std::function<void()> onClear = {}, QWidget *parent = nullptr);

    void setLogLines(const QStringList &lines);
    const QStringList &logLines() const { return m_lines; }

    bool isExpanded() const { return m_expanded; }
    void setExpanded(bool expanded);

    // The parts the tests and screenshots look at.
    QToolButton *copyButton() const { return m_copy; }
    QToolButton *clearButton() const { return m_clear; }
    QLabel *countLabel() const { return m_count; }
    QLabel *placeholder() const { return m_placeholder; }
    QPlainTextEdit *lines() const { return m_text; }

private:
    void refresh();
    void scrollToEnd();

    std::function<void()> m_onClear;
    QStringList m_lines;
    bool m_expanded = false;

    QToolButton *m_disclosure;
    QLabel *m_count;
    QToolButton *m_copy;
    QToolButton *m_clear;
    QLabel *m_placeholder;
    QPlainTextEdit *m_text;
};

} // namespace cordavelle
