#include "shots.h"

#include "app/about_window.h"

namespace cordavelle::screenshots {

void addViewShots(ShotList &shots, ShotEnvironment &)
{
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
