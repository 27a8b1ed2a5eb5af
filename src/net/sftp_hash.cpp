// Content hashes over SSH: the server's own check-file or md5-hash extension
// where its version reply lists one (sftp_hash_channel.*); else, where the
// account may run programs, sha256sum (or md5sum) over an exec channel.
// Whether it may is found out once per login, by hashing /dev/null (a known
// digest); an exec the server refuses (no shell access) means no hash for
// the login.
#include <libssh/libssh.h>

#include "net/sftp_fs.h"

namespace twinbay {
namespace {

constexpr const char* kEmptySha256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr const char* kEmptyMd5 = "d41d8cd98f00b204e9800998ecf8427e";

// The path as one word for the remote shell: single-quoted, a quote inside
// as '\''; none for a path with a line break (a second command).
bool ShellWord(const std::string& path, std::string& word) {
  if (path.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) return false;
  word = "'";
  for (char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
  word += "'";
  return true;
}

}  // namespace

// Runs one command; its standard output into `out`, true when it ran and
// ended with status 0.
bool SftpFileSystem::RunCommand(const std::string& command, std::string& out) {
  out.clear();
  if (!Ready()) return false;
  ssh_channel channel = ssh_channel_new(conn_.Session());
  if (!channel) return Failed("Cannot open an SSH channel");
  bool ok = ssh_channel_open_session(channel) == SSH_OK && ssh_channel_request_exec(channel, command.c_str()) == SSH_OK;
  char buffer[4096];
  while (ok && !Stopped()) {
    const int n = ssh_channel_read_timeout(channel, buffer, sizeof buffer, 0, 60000);
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (out.size() < 65536) out.append(buffer, static_cast<size_t>(n));
  }
  if (ok && !Stopped()) {
    ssh_channel_send_eof(channel);
    ok = ssh_channel_get_exit_status(channel) == 0;
  } else {
    ok = false;
  }
  ssh_channel_close(channel);
  ssh_channel_free(channel);
  if (!ok && error_.empty()) error_ = "the server did not run \"" + command.substr(0, command.find(' ')) + "\"";
  return ok;
}

unsigned SftpFileSystem::HashKinds() {
  if (!hashProbed_ && Ready()) {
    hashProbed_ = true;
    if (hashExt_.Open(conn_.Session(), [this] { return !abortFlag_ || !abortFlag_->load(); })) return hashExt_.Kinds();
    std::string out;
    auto gives = [&](const char* program, const char* digest) {
      return RunCommand(std::string(program) + " /dev/null", out) && out.rfind(digest, 0) == 0;
    };
    if (gives("sha256sum", kEmptySha256)) hashKinds_ = static_cast<unsigned>(HashKind::Sha256);
    else if (gives("md5sum", kEmptyMd5)) hashKinds_ = static_cast<unsigned>(HashKind::Md5);
    error_.clear();
  }
  return hashExt_.Kinds() ? hashExt_.Kinds() : hashKinds_;
}

bool SftpFileSystem::Hash(const std::string& path, HashKind kind, std::string& hex) {
  error_.clear();
  std::string word, out;
  uint64_t size = 0;
  if (!(HashKinds() & static_cast<unsigned>(kind))) {
    error_ = std::string("the server gives no ") + HashName(kind) + " hash";
    return false;
  }
  if (hashExt_.Kinds()) return Size(path, size) && hashExt_.Hash(path, size, kind, hex, error_);
  if (!ShellWord(path, word)) {
    error_ = "a path with a line break is not handed to the server's shell: " + path;
    return false;
  }
  const char* program = kind == HashKind::Sha256 ? "sha256sum" : "md5sum";
  if (!RunCommand(std::string(program) + " -- " + word, out)) {
    error_ = "cannot hash " + path + ": " + error_;
    return false;
  }
  hex = out.substr(0, out.find(' '));
  if (TakeHexDigest(hex, kind)) return true;
  error_ = "the server gave no " + std::string(HashName(kind)) + " hash for " + path;
  return false;
}

}  // namespace twinbay
