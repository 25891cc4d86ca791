#include "shots.h"

#include "app/about_window.h"
#include "pages/program_dialog.h"

#include <QApplication>
#include <QFileDialog>

namespace cordavelle::screenshots {

void addViewShots(ShotList &shots, ShotEnvironment &)
{
    shots.push_back({QStringLiteral("program-picker"), [] {
                         const auto dialog = makeProgramDialog(QStringLiteral("Choose a rigctld binary"),
                                                               QStringLiteral("Pick the rigctld executable."),
                                                               QStringLiteral("/usr/bin"));
                         dialog->show();
                         QApplication::processEvents();
                         return grabWindow(dialog.get());
                     }});
    shots.push_back({QStringLiteral("about"), [] {
                         AboutWindow about(AboutInfo::current());
                         return grabWindow(&about);
                     }});
    shots.push_back({QStringLiteral("about-without-release-notes"), [] {
                         AboutInfo info = AboutInfo::current();
                         info.releaseNotes.clear();
                         AboutWindow about(info);
                         return grabWindow(&about);
                     }});
}

} // namespace cordavelle::screenshots
