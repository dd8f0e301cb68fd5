#pragma once
#include <QFileIconProvider>
#include <QHash>
#include <QIcon>
#include <QString>

namespace vel {

// Small icons by file name (its extension) and the folder icon, cached: a folder of 100,000
// files asks the icon theme once per extension.
class CUseShGetFileInfo {
  public:
    QIcon folderIcon();
    QIcon fileIcon(const QString& name);

  private:
    QFileIconProvider provider_;
    QHash<QString, QIcon> byExtension_;
    QIcon folder_;
};

CUseShGetFileInfo& shellIcons();

}  // namespace vel
