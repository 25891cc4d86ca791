#pragma once

#include "core/managed_process.h"
#include "support/helper_objects.h"

#include <QImage>
#include <QSize>
#include <QString>

#include <chrono>
#include <functional>
#include <vector>

class QWidget;

namespace cordavelle::screenshots {

// One picture: a file name (without ".png") and how to render it.
struct Shot {
    QString name;
    std::function<QImage()> render;
};
using ShotList = std::vector<Shot>;

// The helper's model on test doubles, in a representative state: Wine and rigctld found, the
// prefix made, VARA HF and rigctld running, VARA FM failed, Direwolf disabled, three pairing
// requests. Every picture is taken in it.
struct ShotEnvironment : test::HelperObjects {
    ShotEnvironment();
    ~ShotEnvironment();
};

// Starts `process` with the program and arguments its start path would use, `program` being
// written as a stand-in that stays up while its arguments match the shell pattern `stayUpWhen`.
void runAsStarted(ManagedProcess &process, const QString &program, const QStringList &arguments,
                  const QString &stayUpWhen);

// A window, page, menu or dialog as it shows on screen (shown offscreen first, so that it is
// laid out), at `size` when one is given.
QImage grabWindow(QWidget *widget, QSize size = {});

// Processes events until `done` holds; throws, naming `what` it waited for, when `limit` passes
// first, which fails the picture being made.
void await(const std::function<bool()> &done, const char *what,
           std::chrono::milliseconds limit = std::chrono::seconds(30));
// The same where nothing may throw (a scene's end): says what it waited for and ends the run with
// a failure.
void awaitAtEnd(const std::function<bool()> &done, const char *what,
                std::chrono::milliseconds limit = std::chrono::seconds(30));

// Each window issue adds its pictures through a function like these.
void addAppShots(ShotList &shots, ShotEnvironment &scene);
void addViewShots(ShotList &shots, ShotEnvironment &scene);
// The clients page, the settings window and the reset section's sheets and confirmations.
void addSettingsShots(ShotList &shots, ShotEnvironment &scene);
// The Direwolf page builds a model of its own for each picture.
void addDirewolfShots(ShotList &shots);
// So does the rigctld page.
void addRigctldShots(ShotList &shots);
// The setup checklist builds a home of its own for each picture.
void addChecklistShots(ShotList &shots);
// The first-run wizard's pages, with and without features chosen.
void addWizardShots(ShotList &shots, ShotEnvironment &scene);
// The VARA HF and VARA FM pages, each with a model of its own.
void addVARAShots(ShotList &shots);
// The wizard's install pages, each on a machine of its own.
void addWizardStepShots(ShotList &shots);

} // namespace cordavelle::screenshots
