// How a server is reached, signed in to and trusted, for both front ends:
// reading an address, turning a stored connection and what the user answered
// into a place to open, what to ask before and after a connect, and where a
// trusted certificate or host key is kept. The window and twinbay-cli only
// put these questions to the user and show the answers.
//
// The sign-in order: SFTP offers the keys of ssh-agent (when SSH_AUTH_SOCK is
// set), then the key file, then the password (net/ssh_auth); FTP logs in with
// the user name and password, or anonymously without a user name.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/connections.h"
#include "fs/file_system.h"
#include "fs/place.h"

namespace twinbay {

// The remote side of a compare or sync: the place to open and the folder there.
struct ConnectTarget {
  FileSystemTarget place;
  std::string path;
  bool anonymous = true;  // FTP without a login
  ServerTimeOffset serverOffset;
  bool tlsFromScheme = false;  // the address named TLS (ftps://, ftpes://)
};

// What is wrong with an address, for the front end to word.
enum class AddressFault { None, Scheme, PasswordInAddress, Brackets, NoServer, Port };

// Reads "scheme://[user@]host[:port][/path]" as curl reads it: ftp:// plain
// FTP, ftps:// implicit TLS (port 990), ftpes:// explicit TLS (AUTH TLS on
// port 21), sftp:// (port 22). The user name and path are percent-decoded; an
// empty path is the login folder. A password in the address is refused (it
// would stay in the shell's history). Without a user name FTP is anonymous and
// SFTP takes OpenSSH's rules (the local user). On a fault `port` (if given)
// holds the port text that is no port.
AddressFault ReadAddress(const std::string& address, ConnectTarget& out, std::string* port = nullptr);

// A port number from 1 to 65535; false for anything else.
bool ReadPort(const std::string& text, int& port);

// The place a record names, with its login. FTP: no user name or password
// for an anonymous record or an empty user name; the trusted certificate.
// SFTP: the user name whatever the anonymous mark, the key file, the
// trusted host key. `promptedPassword` stands in for a password the record
// does not keep. False, with `problem`, when the record cannot be used (a
// password in the desktop keyring not read yet included).
bool RecordTarget(const CConnectionProperties& record, const std::string& promptedPassword,
                  FileSystemTarget& target, std::string& problem);
// The same with the record's remote folder and server time offset.
bool RecordTarget(const CConnectionProperties& record, const std::string& promptedPassword, ConnectTarget& target,
                  std::string& problem);

// Whether a private key file is protected by a passphrase (OpenSSH format:
// its cipher is not "none"; PEM: it says ENCRYPTED). False for a file that
// cannot be read: the sign-in then says what is wrong with it.
bool KeyFileNeedsPassphrase(const std::string& keyFile);

// What to ask the user before a connect: the password where the login needs
// one that is not known (SFTP only when neither ssh-agent nor a key file can
// sign in first), and a key file's passphrase where the key has one.
struct SecretsToAsk {
  bool password = false, passphrase = false;
};
SecretsToAsk SecretsBeforeConnect(const ConnectTarget& target);

// What a failed connect leads to: trusting a refused certificate or an
// unknown host key (only with its fingerprint; a changed host key is never
// offered), or a password once SFTP's keys were refused and none was tried.
enum class ConnectQuestion { None, TrustCertificate, TrustHostKey, Password };
ConnectQuestion QuestionAfter(const FileSystemTarget& tried, const OpenFailure& failure);

// The record's field that holds what the user trusted: the host key
// ("SHA256:...") for SFTP, the certificate's fingerprint ("AB:CD:...") for FTP.
const std::string& PinField(const CConnectionProperties& record);
std::string& PinField(CConnectionProperties& record);
// Keeps a trusted certificate or host key on the record; false when it held
// it already.
bool TrustOnRecord(CConnectionProperties& record, const std::string& pin);

// A passphrase the user typed before the connect, for a place's first sign-in
// with the key: the returned question hands it over once and wipes its copy
// (later logins use the decrypted key the first one kept); `typed` is wiped
// at once. The last copy of the question dropped unasked wipes it too.
using PassphraseQuestion = std::function<std::optional<std::string>(const std::string& keyFile)>;
PassphraseQuestion PassphraseOnce(std::string& typed);
// Wipes what the question holds, asked or not (when the connect is over: the
// file systems keep their copies of the question), and drops it.
void ForgetPassphrase(PassphraseQuestion& question);

// Overwrites a secret's bytes, then empties it.
void Wipe(std::string& secret);

}  // namespace twinbay
