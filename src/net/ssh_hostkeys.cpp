#include "net/ssh_hostkeys.h"

#include <libssh/libssh.h>

namespace twinbay {

std::string ServerFingerprint(ssh_session session) {
  ssh_key key = nullptr;
  if (ssh_get_server_publickey(session, &key) != SSH_OK) return {};
  unsigned char* hash = nullptr;
  size_t length = 0;
  std::string out;
  if (ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_SHA256, &hash, &length) == 0) {
    // Its own text form is "SHA256:" and the unpadded base64, as ssh-keygen's.
    if (char* text = ssh_get_fingerprint_hash(SSH_PUBLICKEY_HASH_SHA256, hash, length)) {
      out = text;
      ssh_string_free_char(text);
    }
    ssh_clean_pubkey_hash(&hash);
  }
  ssh_key_free(key);
  return out;
}

HostKeyVerdict CheckHostKey(ssh_session session, const std::string& host, const std::string& pinned,
                            std::string& fingerprint, std::string& error) {
  fingerprint = ServerFingerprint(session);
  if (fingerprint.empty()) {
    error = "The host key of " + host + " could not be read.";
    return HostKeyVerdict::Error;
  }
  if (!pinned.empty() && pinned == fingerprint) return HostKeyVerdict::Trusted;
  const ssh_known_hosts_e known = ssh_session_is_known_server(session);
  if (known == SSH_KNOWN_HOSTS_OK && pinned.empty()) return HostKeyVerdict::Trusted;
  if (known == SSH_KNOWN_HOSTS_OK || known == SSH_KNOWN_HOSTS_CHANGED || known == SSH_KNOWN_HOSTS_OTHER ||
      !pinned.empty()) {
    // A pin that does not match is a changed key too, even when known_hosts
    // holds the new one: the user trusted another key for this connection.
    error = "WARNING: THE HOST KEY OF " + host + " HAS CHANGED. The server now identifies itself with " +
            fingerprint +
            ", which is not the key trusted for it. Someone may be intercepting the connection; "
            "nothing was sent. Connect only after confirming the new key with the server's administrator.";
    return HostKeyVerdict::Changed;
  }
  if (known == SSH_KNOWN_HOSTS_ERROR) {
    error = "The known hosts file could not be read: " + std::string(ssh_get_error(session));
    return HostKeyVerdict::Error;
  }
  error = "The host key of " + host + " is not known: " + fingerprint + ".";
  return HostKeyVerdict::Unknown;
}

}  // namespace twinbay
