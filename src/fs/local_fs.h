// The local disk as a file system: paths ("/a/b") are taken below a root
// folder. Rooted at "/" (or ""), local absolute paths are taken as they are;
// rooted elsewhere, it is a local folder standing in for a server. Folders
// carry their device and inode as their unique id.
#pragma once

#include <utility>
#include <vector>

#include "fs/file_system.h"

namespace twinbay {

class LocalFileSystem : public IFileSystem {
 public:
  explicit LocalFileSystem(std::string root);

  FsCapabilities Capabilities() const override;
  bool List(const std::string& path, ScanList& out) override;
  bool MakeFolder(const std::string& path) override;
  bool Remove(const std::string& path) override;
  bool RemoveFolder(const std::string& path) override;
  bool Rename(const std::string& from, const std::string& to) override;
  bool Read(const std::string& path, const FsSink& sink) override;
  bool Write(const std::string& path, const FsSource& source, uint64_t size) override;
  std::unique_ptr<IFsReader> OpenRead(const std::string& path) override;
  std::unique_ptr<IFsWriter> OpenWrite(const std::string& path) override;
  bool ReadFrom(const std::string& path, uint64_t offset, const FsSink& sink) override;
  std::unique_ptr<IFsReader> OpenReadFrom(const std::string& path, uint64_t offset) override;
  bool Append(const std::string& path, const FsSource& source, uint64_t offset, uint64_t size) override;
  std::unique_ptr<IFsWriter> OpenAppend(const std::string& path, uint64_t offset) override;
  bool SetMode(const std::string& path, uint32_t mode) override;
  bool SetTime(const std::string& path, int64_t ticks) override;
  bool Stat(const std::string& path, FindData& out) override;
  bool Size(const std::string& path, uint64_t& size) override;
  unsigned HashKinds() override { return kEveryHashKind; }
  bool Hash(const std::string& path, HashKind kind, std::string& hex) override;
  std::string LastError() const override { return error_; }
  std::vector<std::string> TakeLeftOut() override { return std::exchange(leftOut_, {}); }
  void SetAbortFlag(const std::atomic<bool>* flag) override { abortFlag_ = flag; }
  bool LostConnection() const override { return false; }
  bool Reconnect() override { return true; }
  std::unique_ptr<IFileSystem> OpenAnother() const override;

 private:
  // The path on the disk; false (with the error set) for a path that would
  // leave the root.
  bool OnDisk(const std::string& path, std::string& out);
  bool Failed(const std::string& what);
  bool Blocks(const FsSource& pull, const FsSink& push);
  // Writes the source's bytes to the open file and closes it.
  bool Fill(int fd, const std::string& path, const FsSource& source);
  bool Aborted() const { return abortFlag_ && abortFlag_->load(); }
  // True, with "cancelled" as the reason, once the run was stopped: a copy
  // asks before each block.
  bool Cancelled() {
    if (!Aborted()) return false;
    error_ = "cancelled";
    return true;
  }

  std::string root_;
  std::string error_;
  std::vector<std::string> leftOut_;  // of the last listing
  const std::atomic<bool>* abortFlag_ = nullptr;
};

}  // namespace twinbay
