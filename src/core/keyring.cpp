#include "core/keyring.h"

#include <libsecret/secret.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace twinbay {
namespace {

// Set once a call ran out of time: the keyring is not waited for again in
// this run.
std::atomic<bool> gKeyringHung{false};

const SecretSchema* Schema() {
  static const SecretSchema* schema = secret_schema_new(
      "com.kestrion.Twinbay.Password", SECRET_SCHEMA_NONE, "application", SECRET_SCHEMA_ATTRIBUTE_STRING,
      "protocol", SECRET_SCHEMA_ATTRIBUTE_STRING, "server", SECRET_SCHEMA_ATTRIBUTE_STRING, "port",
      SECRET_SCHEMA_ATTRIBUTE_INTEGER, "user", SECRET_SCHEMA_ATTRIBUTE_STRING, nullptr);
  return schema;
}

// A cancellable that a watcher thread cancels when the call is not done in
// kKeyringTimeoutMs.
class Deadline {
 public:
  Deadline() : cancellable_(g_cancellable_new()), watcher_([this] { Watch(); }) {}
  ~Deadline() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    wake_.notify_all();
    watcher_.join();
    g_object_unref(cancellable_);
  }
  Deadline(const Deadline&) = delete;
  Deadline& operator=(const Deadline&) = delete;
  GCancellable* cancellable() const { return cancellable_; }
  bool TimedOut() const { return timedOut_; }

 private:
  void Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (wake_.wait_for(lock, std::chrono::milliseconds(kKeyringTimeoutMs), [this] { return done_; })) return;
    timedOut_ = true;
    gKeyringHung = true;
    g_cancellable_cancel(cancellable_);
  }
  GCancellable* cancellable_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::atomic<bool> timedOut_{false};
  std::thread watcher_;  // last: starts once the rest is made
};

// One call's Secret Service proxy. GLib shares one session bus connection
// per process while something holds it; it is held only during the call (so
// that a bus address changed since is followed) and kept from ending the
// program should the bus go away.
class Session {
 public:
  Session() {
    if (gKeyringHung) {
      answer_ = {KeyringStatus::Unavailable, "the desktop keyring did not answer in time earlier in this run"};
      return;
    }
    // No bus is ever started for the purpose (GLib would start one for an X
    // display without a bus address).
    if (!HasBusAddress()) {
      answer_ = {KeyringStatus::Unavailable, "no session bus (DBUS_SESSION_BUS_ADDRESS is not set)"};
      return;
    }
    GError* error = nullptr;
    bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, deadline_.cancellable(), &error);
    if (bus_) {
      g_dbus_connection_set_exit_on_close(bus_, FALSE);
      service_ = secret_service_open_sync(SECRET_TYPE_SERVICE, nullptr, SECRET_SERVICE_NONE, deadline_.cancellable(),
                                          &error);
    }
    if (!service_) Fail(error, "no session bus");
  }
  ~Session() {
    if (service_) g_object_unref(service_);
    if (bus_) g_object_unref(bus_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool ok() const { return service_ != nullptr && answer_.ok(); }
  SecretService* service() const { return service_; }
  GCancellable* cancellable() const { return deadline_.cancellable(); }
  KeyringAnswer& answer() { return answer_; }

  // Records why a call failed (`error` may be null: the keyring declined
  // without a reason, as for a dismissed unlock prompt).
  void Fail(GError* error, const std::string& what) {
    std::string why;
    if (deadline_.TimedOut())
      why = "the desktop keyring did not answer within " + std::to_string(kKeyringTimeoutMs / 1000) + " s";
    else if (error && g_error_matches(error, G_DBUS_ERROR, G_DBUS_ERROR_SERVICE_UNKNOWN))
      why = "no desktop keyring (no Secret Service on the session bus)";
    else if (error && g_error_matches(error, SECRET_ERROR, SECRET_ERROR_IS_LOCKED))
      why = "the desktop keyring is locked";
    else if (error)
      why = what + ": " + error->message;
    else
      why = "the desktop keyring declined (locked, or its prompt was dismissed)";
    answer_ = {KeyringStatus::Unavailable, why};
    if (error) g_error_free(error);
  }

 private:
  static bool HasBusAddress() {
    if (const char* env = std::getenv("DBUS_SESSION_BUS_ADDRESS"); env && *env) return true;
    // Where a systemd user session keeps its bus (GLib looks there too).
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    return runtime && *runtime == '/' && access((std::string(runtime) + "/bus").c_str(), F_OK) == 0;
  }

  Deadline deadline_;
  GDBusConnection* bus_ = nullptr;
  SecretService* service_ = nullptr;
  KeyringAnswer answer_;
};

GHashTable* Attributes(const KeyringLogin& login) {
  return secret_attributes_build(Schema(), "application", "twinbay", "protocol", login.protocol.c_str(), "server",
                                 login.server.c_str(), "port", login.port, "user", login.user.c_str(), nullptr);
}

std::string LoginText(const KeyringLogin& login) {
  return login.user + "@" + login.server + ":" + std::to_string(login.port) + " (" + login.protocol + ")";
}

}  // namespace

KeyringAnswer KeyringStore(const KeyringLogin& login, const std::string& label, const std::string& password) {
  Session s;
  if (!s.ok()) return s.answer();
  GHashTable* attributes = Attributes(login);
  SecretValue* value = secret_value_new(password.data(), static_cast<gssize>(password.size()), "text/plain");
  GError* error = nullptr;
  if (!secret_service_store_sync(s.service(), Schema(), attributes, SECRET_COLLECTION_DEFAULT, label.c_str(), value,
                                 s.cancellable(), &error))
    s.Fail(error, "the desktop keyring did not keep the password");
  secret_value_unref(value);
  g_hash_table_unref(attributes);
  return s.answer();
}

KeyringAnswer KeyringLookUp(const KeyringLogin& login, std::string& password) {
  password.clear();
  Session s;
  if (!s.ok()) return s.answer();
  GHashTable* attributes = Attributes(login);
  GError* error = nullptr;
  SecretValue* value = secret_service_lookup_sync(s.service(), Schema(), attributes, s.cancellable(), &error);
  g_hash_table_unref(attributes);
  if (value) {
    gsize size = 0;
    const gchar* bytes = secret_value_get(value, &size);
    password.assign(bytes, size);
    secret_value_unref(value);
  } else if (error || g_cancellable_is_cancelled(s.cancellable())) {
    s.Fail(error, "the desktop keyring could not be read");
  } else {
    s.answer() = {KeyringStatus::NotFound, "the desktop keyring holds no password for " + LoginText(login)};
  }
  return s.answer();
}

KeyringAnswer KeyringForget(const KeyringLogin& login) {
  Session s;
  if (!s.ok()) return s.answer();
  GHashTable* attributes = Attributes(login);
  GError* error = nullptr;
  // False without an error: there was nothing to forget.
  if (!secret_service_clear_sync(s.service(), Schema(), attributes, s.cancellable(), &error) && error)
    s.Fail(error, "the desktop keyring did not forget the password");
  g_hash_table_unref(attributes);
  return s.answer();
}

// ---- a connection record's password ------------------------------------------------

namespace {

// The login a record's keyring item belongs to, and with the password: what
// the keyring is known to hold for the record.
std::string LoginKey(const CConnectionProperties& r) {
  const KeyringLogin l = KeyringLoginOf(r);
  return l.protocol + '\n' + l.server + '\n' + std::to_string(l.port) + '\n' + l.user;
}
std::string HeldKey(const CConnectionProperties& r) { return LoginKey(r) + '\n' + r.password; }

}  // namespace

KeyringLogin KeyringLoginOf(const CConnectionProperties& record) {
  KeyringLogin login;
  login.protocol = record.protocol == 1 ? "sftp" : record.protocol == 0 ? "ftp" : "protocol-" + std::to_string(record.protocol);
  login.server = record.host;
  login.port = record.port;
  login.user = record.userName;
  return login;
}

PasswordHome WherePasswordIsKept(const CConnectionProperties& record) {
  if (PasswordInKeyring(record)) return PasswordHome::Keyring;
  return record.passwordStored && !record.password.empty() ? PasswordHome::File : PasswordHome::None;
}

std::string PasswordHomeText(const CConnectionProperties& record) {
  switch (WherePasswordIsKept(record)) {
    case PasswordHome::Keyring: return "Password kept in the desktop keyring";
    case PasswordHome::File:
      return record.keyringRefused.empty()
                 ? "Password kept scrambled in the connections file (to the desktop keyring, where one answers, on "
                   "the next save)"
                 : "Password kept scrambled in the connections file (no desktop keyring)";
    default: return "No password kept: it is asked for when needed";
  }
}

PasswordHome KeepRecordPassword(CConnectionProperties& r, std::string* why) {
  if (!r.passwordStored) return WherePasswordIsKept(r);  // typed at a prompt: never kept
  if (r.password.empty()) {
    // Emptied by the user after it was read from the keyring: none kept.
    // (Not yet read: it stays where it is.)
    if (PasswordInKeyring(r) && !r.keyringHeld.empty()) {
      SetPasswordInKeyring(r, false);
      r.keyringHeld.clear();
    }
    return WherePasswordIsKept(r);
  }
  const std::string key = HeldKey(r);
  if (PasswordInKeyring(r) && r.keyringHeld == key) return PasswordHome::Keyring;
  if (r.keyringRefused == key) {
    if (why) *why = "the desktop keyring did not take it earlier in this run";
    return PasswordHome::File;
  }
  const KeyringLogin login = KeyringLoginOf(r);
  const KeyringAnswer a = KeyringStore(login, "Twinbay: " + LoginText(login), r.password);
  SetPasswordInKeyring(r, a.ok());
  if (a.ok()) {
    r.keyringHeld = key;
    return PasswordHome::Keyring;
  }
  r.keyringHeld.clear();
  r.keyringRefused = key;
  if (why) *why = a.error;
  return PasswordHome::File;
}

void KeepRecordPasswords(std::vector<std::unique_ptr<CConnectionProperties>>& records) {
  for (auto& r : records) KeepRecordPassword(*r);
}

bool FetchRecordPassword(CConnectionProperties& r, std::string& error) {
  if (!PasswordInKeyring(r) || !r.keyringHeld.empty()) return true;
  std::string password;
  const KeyringAnswer a = KeyringLookUp(KeyringLoginOf(r), password);
  if (!a.ok()) {
    error = "The password of \"" + r.description + "\" is kept in the desktop keyring, but it could not be read: " +
            a.error + ".";
    return false;
  }
  r.password = password;
  r.keyringHeld = HeldKey(r);
  return true;
}

void ForgetRecordPassword(const ConnectionsList& remaining, const CConnectionProperties& removed) {
  if (!PasswordInKeyring(removed)) return;
  for (size_t i = 0; i < remaining.Count(); ++i)
    if (PasswordInKeyring(*remaining.At(i)) && LoginKey(*remaining.At(i)) == LoginKey(removed)) return;
  KeyringForget(KeyringLoginOf(removed));
}

}  // namespace twinbay
