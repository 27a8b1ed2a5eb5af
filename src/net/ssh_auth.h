// Signing in to an SSH server once its host key is trusted: ssh-agent, a
// private key file (its passphrase asked for when needed), then a password.
#pragma once

#include <mutex>
#include <string>

#include "net/ssh_session.h"

struct ssh_key_struct;

namespace twinbay {

// The decrypted private key of a key file, kept in memory for the logins of
// one place, so that its passphrase is asked for once; the passphrase itself
// is never kept.
struct SshKeyCache {
  ~SshKeyCache();
  std::mutex m;
  std::string file;
  ssh_key_struct* key = nullptr;
};

// True when the server let the user in; otherwise `error` says what was
// tried and why it failed.
bool SignIn(ssh_session_struct* session, const SftpSettings& settings, SshKeyCache& keys, std::string& error);

}  // namespace twinbay
