#pragma once

class QWidget;

namespace cordavelle {

struct AppContext;
class WizardStep;

// The wizard's install pages (Dependencies, VARA, Radio Control, Packet) on the application's
// shared installers; none for the other steps.
WizardStep *makeWizardInstallStep(int index, const AppContext &context, QWidget *parent = nullptr);

} // namespace cordavelle
