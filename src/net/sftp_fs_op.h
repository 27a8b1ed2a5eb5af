// The watch over one SFTP operation, shared by the parts of SftpFileSystem.
#pragma once

#include "net/sftp_fs.h"

namespace twinbay {

// One operation on the connection: the watch cuts it when the server stays
// silent past the time-out, or when the abort flag is set while the server
// keeps it waiting (an operation the server answers ends by itself, so that a
// stopped copy can still remove its temporary file).
class SftpFileSystem::Op {
 public:
  explicit Op(SftpFileSystem& fs, bool abortable = true) : fs_(fs) {
    fs.failure_ = SshFailure::None;
    fs.error_.clear();
    fs.heldAfterWrite_.reset();
    fs.watch_.Begin(fs.conn_.Socket(), abortable ? fs.abortFlag_ : nullptr, fs.settings_.timeoutSeconds);
  }
  ~Op() { fs_.watch_.End(); }
  void Progress() { fs_.watch_.Progress(); }

 private:
  SftpFileSystem& fs_;
};

}  // namespace twinbay
