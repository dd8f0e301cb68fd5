#include "ui/CUseShGetFileInfo.h"

#include <QApplication>
#include <QMimeDatabase>
#include <QStyle>

namespace vel {

CUseShGetFileInfo& shellIcons() {
    // Never destroyed: icons must not outlive the application object at exit.
    static auto* icons = new CUseShGetFileInfo;
    return *icons;
}

QIcon CUseShGetFileInfo::folderIcon() {
    if (folder_.isNull()) {
        folder_ = QIcon::fromTheme("folder", provider_.icon(QFileIconProvider::Folder));
        if (folder_.isNull()) folder_ = QApplication::style()->standardIcon(QStyle::SP_DirIcon);
    }
    return folder_;
}

QIcon CUseShGetFileInfo::fileIcon(const QString& name) {
    int dot = name.lastIndexOf('.');
    QString ext = dot > 0 ? name.mid(dot + 1).toLower() : QString();
    auto it = byExtension_.find(ext);
    if (it != byExtension_.end()) return *it;
    static QMimeDatabase mimes;
    QMimeType type = mimes.mimeTypeForFile(name, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(type.iconName(), QIcon::fromTheme(type.genericIconName()));
    if (icon.isNull()) icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
    byExtension_.insert(ext, icon);
    return icon;
}

}  // namespace vel
