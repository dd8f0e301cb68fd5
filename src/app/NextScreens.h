#pragma once
// Where the wizard makes the screens that lie beyond this folder. Each function creates the next
// screen with the given screen as its creator; null when it cannot be made.
namespace vel {

class WizardScreen;
class DriveParsingModes;
class ParceModeNtfsDlg;

// The volume list, from the physical-drive scan mode screen.
WizardScreen* createVolumeListScreen(DriveParsingModes& creator);
// The volume scan screen, from the volume scan mode screen (Standard and Deep).
WizardScreen* createVolumeScanScreen(ParceModeNtfsDlg& creator);
// The advanced input screen, from the volume scan mode screen (Advanced).
WizardScreen* createAdvancedInputScreen(ParceModeNtfsDlg& creator);

}  // namespace vel
