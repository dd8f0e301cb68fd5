#pragma once
// What a parser needs of the results tree. The core's MemoryTree implements it; the Qt screen
// presents a MemoryTree and hands workers an adapter that forwards calls to the interface thread.
#include <cstdint>
#include <string>

namespace vel {

using TreeItem = std::uint32_t;  // handle; stays valid until the item is deleted
constexpr TreeItem kNoItem = 0;  // as a parent: the top level

// Identifies a parser's own entry (index, key or catalog node id); never a pointer.
using ItemData = std::int64_t;
constexpr ItemData kNoData = -1;

enum class IconKind : std::uint8_t { Folder, File, Placeholder };
enum class CheckState : std::uint8_t { Unchecked, Checked, Partial };

// Colours are 0x00BBGGRR values; red text marks deleted entries.
constexpr std::uint32_t kDeletedColour = 0x0000FF;
constexpr std::uint32_t kDefaultColour = 0xFFFFFFFF;

// Caption of the child that gives an unfilled folder its expand button.
inline constexpr const char* kPlaceholderText = "..DUMY..";

class ResultsTree {
  public:
    virtual ~ResultsTree() = default;

    // Appends an item under parent (kNoItem: top level), unchecked unless the parent is checked.
    virtual TreeItem insertItem(const std::string& text, IconKind icon, TreeItem parent) = 0;
    virtual void setItemData(TreeItem item, ItemData data) = 0;
    virtual ItemData itemData(TreeItem item) const = 0;
    virtual void setItemColour(TreeItem item, std::uint32_t colour) = 0;
    virtual std::uint32_t itemColour(TreeItem item) const = 0;
    virtual CheckState checkState(TreeItem item) const = 0;
    // Sets the item and its inserted descendants; ancestors follow.
    virtual void setChecked(TreeItem item, bool checked) = 0;
    virtual TreeItem firstChild(TreeItem item) const = 0;  // kNoItem: first top item
    virtual TreeItem nextSibling(TreeItem item) const = 0;
    virtual TreeItem parent(TreeItem item) const = 0;
    virtual std::string itemText(TreeItem item) const = 0;
    virtual void setItemText(TreeItem item, const std::string& text) = 0;
    virtual IconKind itemIcon(TreeItem item) const = 0;
    virtual void expand(TreeItem item) = 0;
    virtual void deleteItem(TreeItem item) = 0;  // with its descendants
    virtual void deleteAll() = 0;

    bool isChecked(TreeItem item) const { return checkState(item) == CheckState::Checked; }
    // Inserts item data and colour in one go; what every parser does for each entry.
    TreeItem insertEntry(const std::string& text, IconKind icon, TreeItem parent, ItemData data,
                         bool deletedLook) {
        TreeItem item = insertItem(text, icon, parent);
        setItemData(item, data);
        if (deletedLook) setItemColour(item, kDeletedColour);
        return item;
    }
};

}  // namespace vel
