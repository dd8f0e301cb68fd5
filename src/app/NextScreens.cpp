#include "app/NextScreens.h"

#include "app/DriveParsingModes.h"
#include "app/ParceModeNtfsDlg.h"
#include "app/PopulateDriveDlg.h"
#include "app/RawRecoveryDialog.h"
#include "app/VolumeScanDlg.h"
#include "app/WizardScreen.h"

namespace vel {

// Until a real screen joins the wizard, a placeholder named after it keeps the flow walkable.

WizardScreen* createVolumeListScreen(DriveParsingModes& creator) {
    PopulateDriveDlg::volumeScanModeScreen() = [](PopulateDriveDlg& list,
                                                  const VolumeDescriptor& v) -> WizardScreen* {
        return new ParceModeNtfsDlg(&list, v);
    };
    PopulateDriveDlg::rawRecoveryScreen() = [](PopulateDriveDlg& list,
                                               const VolumeDescriptor& v) -> WizardScreen* {
        return new RawRecoveryDialog(v, &list);
    };
    const VolumeListInputs in = creator.volumeListInputs();
    return new PopulateDriveDlg(
        &creator, {in.devicePath, in.driveScanMode, in.gptMode, in.doNotSkipVolumeSize,
                   in.customStartSector, in.customEndSector});
}

WizardScreen* createVolumeScanScreen(ParceModeNtfsDlg& creator) {
    return new VolumeScanDlg(creator.volume(), creator.scanMode(), creator.maxFileSystemsText(),
                             &creator);
}

WizardScreen* createAdvancedInputScreen(ParceModeNtfsDlg& creator) {
    return new PlaceholderScreen("advanceOptions", 153, &creator);
}

}  // namespace vel
