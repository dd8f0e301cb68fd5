#include "scan/VolumeParser.h"

#include "platform/OutputFile.h"

namespace vel {

TreeItem VolumeParser::insertVolumeRootItem() {
    if (!resultsTree) return kNoItem;
    volumeRootItem = resultsTree->insertItem(options.rootCaption, IconKind::Folder, kNoItem);
    return volumeRootItem;
}

TreeItem VolumeParser::insertChildItem(TreeItem parent, ItemData entry, bool colourDeleted,
                                       ItemData folder) {
    bool isDir = isFolder(entry);
    TreeItem item =
        resultsTree->insertEntry(entryName(entry), isDir ? IconKind::Folder : IconKind::File,
                                 parent, entry, colourDeleted && isDeleted(entry, folder));
    if (isDir && hasChildren(entry))
        resultsTree->insertItem(kPlaceholderText, IconKind::Placeholder, item);
    return item;
}

bool VolumeParser::fillFolder(TreeItem item, FillReason reason) {
    if (!resultsTree) return false;
    ItemData folder = resultsTree->itemData(item);
    if (!isEntry(folder) || !isFolder(folder)) return false;
    if (TreeItem first = resultsTree->firstChild(item)) {
        if (resultsTree->itemText(first) != kPlaceholderText) return false;
        resultsTree->deleteItem(first);
    }
    // New items take the folder's check state from the tree itself. However the folder is
    // opened, a deleted entry looks deleted: the same as a listing or a save reports it.
    (void)reason;
    forEachChild(folder, [&](ItemData child) {
        insertChildItem(item, child, true, folder);
        return true;
    });
    return true;
}

bool VolumeParser::writeEntry(ItemData, EntryWriter&) {
    return false;
}

bool VolumeParser::extractEntry(const std::string& destination, ItemData entry) {
    OutputFile out;
    if (!out.open(destination)) return false;
    const bool whole = writeEntry(entry, out);
    // A file of which nothing could be had leaves nothing behind.
    if (!whole && out.bytesWritten() == 0) {
        out.discard();
        return false;
    }
    return out.finish() && whole;
}

void VolumeParser::addPlaceholders() {
    if (!resultsTree) return;
    TreeItem top = volumeRootItem ? volumeRootItem : resultsTree->firstChild(kNoItem);
    for (TreeItem c = resultsTree->firstChild(top); c; c = resultsTree->nextSibling(c)) {
        ItemData e = resultsTree->itemData(c);
        if (resultsTree->itemIcon(c) == IconKind::Folder && isEntry(e) && hasChildren(e) &&
            !resultsTree->firstChild(c))
            resultsTree->insertItem(kPlaceholderText, IconKind::Placeholder, c);
    }
}

}  // namespace vel
