// Passwords in the desktop keyring: a Secret Service (GNOME Keyring, KWallet)
// on the session bus, through libsecret, and what a connection record's
// password becomes with it.
//
// An item belongs to a login, not to a connection's name, so that renaming a
// connection keeps its password and connections to the same login share one:
// attributes application "twinbay", protocol "ftp" (with or without TLS) or
// "sftp", server, port and user.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/connections.h"

namespace twinbay {

struct KeyringLogin {
  std::string protocol, server, user;
  int port = 0;
};

enum class KeyringStatus {
  Ok,
  NotFound,     // the keyring answered: it holds no password for the login
  Unavailable,  // no session bus, no Secret Service on it, locked, refused, or no answer in time
};

struct KeyringAnswer {
  KeyringStatus status = KeyringStatus::Ok;
  std::string error;  // for the user, when not Ok
  bool ok() const { return status == KeyringStatus::Ok; }
};

// How long one call may wait for the keyring, an unlock prompt included. A
// call that runs out of time is cancelled, and later calls of this run
// answer Unavailable at once (a keyring that hung once is not waited for
// again).
constexpr int kKeyringTimeoutMs = 10000;

// Each call opens its own connection to the session bus (the one
// DBUS_SESSION_BUS_ADDRESS names, else $XDG_RUNTIME_DIR/bus; never a bus
// started for the purpose) and closes it. They block: keep them off paths
// run often.
KeyringAnswer KeyringStore(const KeyringLogin& login, const std::string& label, const std::string& password);
KeyringAnswer KeyringLookUp(const KeyringLogin& login, std::string& password);
KeyringAnswer KeyringForget(const KeyringLogin& login);

// ---- a connection record's password ------------------------------------------------

KeyringLogin KeyringLoginOf(const CConnectionProperties& record);

enum class PasswordHome { None, Keyring, File };
PasswordHome WherePasswordIsKept(const CConnectionProperties& record);
// One line for the user: "Password kept in the desktop keyring", ...
std::string PasswordHomeText(const CConnectionProperties& record);

// Before a save: a stored password goes to the keyring where one answers
// (the record then marks it so and the file's field stays empty); otherwise
// it stays in the file's scrambled field. A password the keyring holds
// already is not stored again, nor is one it refused in this run offered
// again. `why`, if given, gets the keyring's reason when it was not used.
PasswordHome KeepRecordPassword(CConnectionProperties& record, std::string* why = nullptr);
void KeepRecordPasswords(std::vector<std::unique_ptr<CConnectionProperties>>& records);

// Before a connect: reads the password a record keeps in the keyring (once
// per record and run). True when the record's password is known after it
// (or it keeps none); false, with `error`, when the keyring did not give it:
// never an empty password in its place.
bool FetchRecordPassword(CConnectionProperties& record, std::string& error);

// After `removed` left the list: forgets its password in the keyring unless
// a remaining record keeps one there for the same login.
void ForgetRecordPassword(const ConnectionsList& remaining, const CConnectionProperties& removed);

}  // namespace twinbay
