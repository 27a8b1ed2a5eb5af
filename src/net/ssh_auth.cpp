#include "net/ssh_auth.h"

#include <libssh/libssh.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace twinbay {
namespace {

struct PassphraseAsk {
  const SftpSettings* settings;
  bool asked = false, declined = false;
};

// libssh asks this only for a key file that is encrypted.
int AskPassphrase(const char*, char* buf, size_t len, int, int, void* userdata) {
  auto* ask = static_cast<PassphraseAsk*>(userdata);
  if (ask->asked || !ask->settings->askPassphrase) return -1;
  ask->asked = true;
  std::optional<std::string> answer = ask->settings->askPassphrase(ask->settings->keyFile);
  if (!answer || answer->size() + 1 > len) {
    ask->declined = true;
    return -1;
  }
  std::memcpy(buf, answer->c_str(), answer->size() + 1);
  // Overwritten before it is freed; the barrier keeps the stores.
  std::fill(answer->begin(), answer->end(), '\0');
  asm volatile("" : : "r"(answer->data()) : "memory");
  answer->clear();
  return 0;
}

bool WithAgent(ssh_session session, std::string& tried) {
  const char* sock = std::getenv("SSH_AUTH_SOCK");
  if (!sock || !*sock) return false;
  tried += " ssh-agent;";
  return ssh_userauth_agent(session, nullptr) == SSH_AUTH_SUCCESS;
}

bool WithKeyFile(ssh_session session, const SftpSettings& settings, SshKeyCache& keys, std::string& tried) {
  // One login at a time reads the key (and asks for its passphrase) and signs
  // with it; the others wait and use what it read.
  std::lock_guard<std::mutex> lock(keys.m);
  if (keys.key && keys.file != settings.keyFile) {
    ssh_key_free(keys.key);
    keys.key = nullptr;
  }
  if (!keys.key) {
    PassphraseAsk ask{&settings};
    if (ssh_pki_import_privkey_file(settings.keyFile.c_str(), nullptr, &AskPassphrase, &ask, &keys.key) != SSH_OK) {
      keys.key = nullptr;
      tried += ask.declined ? " key file " + settings.keyFile + " (no passphrase given);"
               : ask.asked  ? " key file " + settings.keyFile + " (wrong passphrase);"
                            : " key file " + settings.keyFile + " (not readable as a private key);";
      return false;
    }
    keys.file = settings.keyFile;
  }
  tried += " key file " + settings.keyFile + ";";
  return ssh_userauth_publickey(session, nullptr, keys.key) == SSH_AUTH_SUCCESS;
}

// Keyboard-interactive sign-in answering the server's one hidden prompt with
// the password (what servers that check passwords through PAM offer).
bool WithKeyboard(ssh_session session, const std::string& password) {
  int rc = ssh_userauth_kbdint(session, nullptr, nullptr);
  for (int rounds = 0; rc == SSH_AUTH_INFO && rounds < 5; ++rounds) {
    const int prompts = ssh_userauth_kbdint_getnprompts(session);
    if (prompts > 1) return false;
    for (int i = 0; i < prompts; ++i) {
      char echo = 0;
      ssh_userauth_kbdint_getprompt(session, i, &echo);
      if (echo || ssh_userauth_kbdint_setanswer(session, i, password.c_str()) < 0) return false;
    }
    rc = ssh_userauth_kbdint(session, nullptr, nullptr);
  }
  return rc == SSH_AUTH_SUCCESS;
}

}  // namespace

SshKeyCache::~SshKeyCache() {
  if (key) ssh_key_free(key);
}

bool SignIn(ssh_session session, const SftpSettings& settings, SshKeyCache& keys, std::string& error) {
  int rc = ssh_userauth_none(session, nullptr);
  if (rc == SSH_AUTH_SUCCESS) return true;
  if (rc == SSH_AUTH_ERROR) {
    error = std::string("Signing in failed: ") + ssh_get_error(session);
    return false;
  }
  const int methods = ssh_userauth_list(session, nullptr);
  std::string tried;
  if (methods & SSH_AUTH_METHOD_PUBLICKEY) {
    if (settings.useAgent && WithAgent(session, tried)) return true;
    if (!settings.keyFile.empty() && WithKeyFile(session, settings, keys, tried)) return true;
  }
  if (!settings.password.empty()) {
    if (methods & SSH_AUTH_METHOD_PASSWORD) {
      tried += " password;";
      if (ssh_userauth_password(session, nullptr, settings.password.c_str()) == SSH_AUTH_SUCCESS) return true;
    } else if (methods & SSH_AUTH_METHOD_INTERACTIVE) {
      tried += " password (keyboard-interactive);";
      if (WithKeyboard(session, settings.password)) return true;
    }
  }
  if (tried.empty()) tried = " nothing the server accepts was given;";
  tried.pop_back();
  error = "The server refused the sign-in as " + settings.user + ". Tried:" + tried + ".";
  return false;
}

}  // namespace twinbay
