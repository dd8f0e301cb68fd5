#include "app/NextScreens.h"

#include "app/DriveParsingModes.h"
#include "app/ParceModeNtfsDlg.h"
#include "app/WizardScreen.h"

namespace vel {

// Until the real screens join the wizard, a placeholder named after each keeps the flow walkable.
// Each screen reads its inputs from its creator (volumeListInputs(), volume(), scanMode(),
// maxFileSystemsText()).

WizardScreen* createVolumeListScreen(DriveParsingModes& creator) {
    return new PlaceholderScreen("PopulateDriveDlg", 134, &creator);
}

WizardScreen* createVolumeScanScreen(ParceModeNtfsDlg& creator) {
    return new PlaceholderScreen("VolumeScanDlg", 139, &creator);
}

WizardScreen* createAdvancedInputScreen(ParceModeNtfsDlg& creator) {
    return new PlaceholderScreen("advanceOptions", 153, &creator);
}

}  // namespace vel
