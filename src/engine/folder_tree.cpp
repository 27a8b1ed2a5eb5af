#include "engine/folder_tree.h"

namespace twinbay {

MemoryFolderTree::Node* MemoryFolderTree::At(TreeItem item) {
  if (item == kNoItem || item > nodes_.size()) return nullptr;
  return &nodes_[item - 1];
}

TreeItem MemoryFolderTree::InsertItem(TreeItem parent, const std::string& text, int image, int stateImage,
                                      bool hasChildren) {
  std::lock_guard g(mutex_);
  Node n;
  n.parent = parent;
  n.text = text;
  n.image = image;
  n.stateImage = stateImage;
  n.hasChildren = hasChildren;
  nodes_.push_back(std::move(n));
  const TreeItem id = nodes_.size();
  if (Node* p = At(parent)) p->children.push_back(id);
  else top_.push_back(id);
  return id;
}

void MemoryFolderTree::SetItemData(TreeItem item, CFolderRecord* record) {
  std::lock_guard g(mutex_);
  if (Node* n = At(item)) n->record = record;
}

CFolderRecord* MemoryFolderTree::GetItemData(TreeItem item) {
  std::lock_guard g(mutex_);
  Node* n = At(item);
  return n ? n->record : nullptr;
}

TreeItem MemoryFolderTree::GetRootItem() {
  std::lock_guard g(mutex_);
  return top_.empty() ? kNoItem : top_.front();
}

TreeItem MemoryFolderTree::GetParentItem(TreeItem item) {
  std::lock_guard g(mutex_);
  Node* n = At(item);
  return n ? n->parent : kNoItem;
}

TreeItem MemoryFolderTree::GetChildItem(TreeItem item) {
  std::lock_guard g(mutex_);
  Node* n = At(item);
  return (n && !n->children.empty()) ? n->children.front() : kNoItem;
}

void MemoryFolderTree::Expand(TreeItem item) {
  std::lock_guard g(mutex_);
  if (Node* n = At(item)) n->expanded = true;
}

void MemoryFolderTree::SetHasChildren(TreeItem item, bool hasChildren) {
  std::lock_guard g(mutex_);
  if (Node* n = At(item)) n->hasChildren = hasChildren;
}

void MemoryFolderTree::SetOverlay(TreeItem item, int overlay) {
  std::lock_guard g(mutex_);
  if (Node* n = At(item)) n->overlay = overlay;
}

void MemoryFolderTree::SetBold(TreeItem item, bool bold) {
  std::lock_guard g(mutex_);
  if (Node* n = At(item)) n->bold = bold;
}

void MemoryFolderTree::Clear() {
  std::lock_guard g(mutex_);
  nodes_.clear();
  top_.clear();
}

MemoryFolderTree::Node MemoryFolderTree::Get(TreeItem item) const {
  std::lock_guard g(mutex_);
  if (item == kNoItem || item > nodes_.size()) return Node{};
  return nodes_[item - 1];
}

size_t MemoryFolderTree::Count() const {
  std::lock_guard g(mutex_);
  return nodes_.size();
}

std::vector<TreeItem> MemoryFolderTree::TopLevel() const {
  std::lock_guard g(mutex_);
  return top_;
}

TreeItem MemoryFolderTree::Find(const std::vector<std::string>& path) const {
  std::lock_guard g(mutex_);
  const std::vector<TreeItem>* level = &top_;
  TreeItem found = kNoItem;
  for (const std::string& text : path) {
    found = kNoItem;
    for (TreeItem id : *level)
      if (nodes_[id - 1].text == text) {
        found = id;
        break;
      }
    if (found == kNoItem) return kNoItem;
    level = &nodes_[found - 1].children;
  }
  return found;
}

}  // namespace twinbay
