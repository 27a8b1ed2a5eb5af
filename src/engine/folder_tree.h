// What the comparer needs of a folder tree, and an in-memory tree that serves
// the tests and the command-line tool. The desktop program implements the same
// interface over its tree control.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace twinbay {

class CFolderRecord;

// The overlay of a folder that could not be read whole (the direction
// overlays are 0 to 3).
constexpr int kIncompleteOverlay = 4;

// An opaque item handle; 0 is "no item".
using TreeItem = std::uintptr_t;
constexpr TreeItem kNoItem = 0;

class IFolderTree {
 public:
  virtual ~IFolderTree() = default;
  // Appends a child (parent kNoItem: a top-level item) and returns it.
  virtual TreeItem InsertItem(TreeItem parent, const std::string& text, int image, int stateImage,
                              bool hasChildren) = 0;
  virtual void SetItemData(TreeItem item, CFolderRecord* record) = 0;
  virtual CFolderRecord* GetItemData(TreeItem item) = 0;
  virtual TreeItem GetRootItem() = 0;  // the first top-level item
  virtual TreeItem GetParentItem(TreeItem item) = 0;
  virtual TreeItem GetChildItem(TreeItem item) = 0;  // the first child
  virtual void Expand(TreeItem item) = 0;
  virtual void SetHasChildren(TreeItem item, bool hasChildren) = 0;
  virtual void SetOverlay(TreeItem item, int overlay) = 0;
  virtual void SetBold(TreeItem item, bool bold) = 0;
};

// Told about each finished folder (the record may be null for an item without
// one). Called on the compare or transfer worker thread.
class IFolderNotify {
 public:
  virtual ~IFolderNotify() = default;
  virtual void FolderChanged(CFolderRecord* record) = 0;
};

// A plain tree in memory. Thread-safe, so a test can read it while a compare
// grows it on another thread.
class MemoryFolderTree : public IFolderTree {
 public:
  struct Node {
    TreeItem parent = kNoItem;
    std::vector<TreeItem> children;
    std::string text;
    int image = 0;
    int stateImage = 0;
    bool hasChildren = false;
    bool expanded = false;
    bool bold = false;
    int overlay = 0;
    CFolderRecord* record = nullptr;
  };

  TreeItem InsertItem(TreeItem parent, const std::string& text, int image, int stateImage,
                      bool hasChildren) override;
  void SetItemData(TreeItem item, CFolderRecord* record) override;
  CFolderRecord* GetItemData(TreeItem item) override;
  TreeItem GetRootItem() override;
  TreeItem GetParentItem(TreeItem item) override;
  TreeItem GetChildItem(TreeItem item) override;
  void Expand(TreeItem item) override;
  void SetHasChildren(TreeItem item, bool hasChildren) override;
  void SetOverlay(TreeItem item, int overlay) override;
  void SetBold(TreeItem item, bool bold) override;

  void Clear();
  // A copy of one node (items are numbered from 1 in insertion order).
  Node Get(TreeItem item) const;
  size_t Count() const;
  std::vector<TreeItem> TopLevel() const;
  // The item whose path of texts from a top-level item is given, e.g. {"root", "a", "b"}.
  TreeItem Find(const std::vector<std::string>& path) const;

 private:
  Node* At(TreeItem item);
  mutable std::mutex mutex_;
  std::vector<Node> nodes_;
  std::vector<TreeItem> top_;
};

}  // namespace twinbay
