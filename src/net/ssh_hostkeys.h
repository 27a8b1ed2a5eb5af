// Checking an SSH server's host key before anything of the user's is offered:
// against OpenSSH's known_hosts (hashed entries too) and against a key the
// user chose to trust for the connection (its SHA256 fingerprint).
#pragma once

#include <string>

struct ssh_session_struct;

namespace twinbay {

enum class HostKeyVerdict { Trusted, Unknown, Changed, Error };

// The connected server's host key as ssh-keygen -l prints it
// ("SHA256:" and the unpadded base64 of the key's SHA-256), or empty.
std::string ServerFingerprint(ssh_session_struct* session);

// Whether the connected server's key may be trusted: the pinned fingerprint
// matches, or known_hosts holds this key for the host. A host known with
// another key, or a pin that does not match, is Changed. `fingerprint`
// receives the server's fingerprint, `error` a text for the user when the
// verdict is not Trusted.
HostKeyVerdict CheckHostKey(ssh_session_struct* session, const std::string& host, const std::string& pinned,
                            std::string& fingerprint, std::string& error);

}  // namespace twinbay
