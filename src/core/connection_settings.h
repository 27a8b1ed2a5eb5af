// What a stored connection keeps beyond the records of "connections.ftp",
// whose layout other versions read and must stay as it is: the paths to
// leave out and the sync's backup folder on the server. They live in a small
// text file beside it, "<connections file>.settings", keyed by the
// connection's name, written and merged with the connections file (under
// its lock, see ConnectionsList::Save):
//
//   # comment
//   for 0123456789abcdef        a hash of the connections file written with it
//   connection NAME
//   exclude PATTERN             one line per line of the list
//   backup-dir PATH
//
// Values escape "\" as "\\", a line feed as "\n" and a carriage return as
// "\r". Lines of an entry this version does not know are kept as they are.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/connections.h"

namespace twinbay {

using ConnectionRecords = std::vector<std::unique_ptr<CConnectionProperties>>;

std::string ConnectionSettingsFile(const std::string& connectionsFile);

// A hash of the connections file's bytes, which the settings file names so
// that a reader can tell it was written with that very file.
std::string ConnectionsBytesHash(const std::string& bytes);

// The settings file's text for the records: an entry per record with a
// setting, and for every record of a name more than one record has (the
// k-th entry of a name belongs to the k-th record of that name).
std::string SerializeConnectionSettings(const ConnectionRecords& records, const std::string& connectionsBytes);

// Gives the records the settings of their entries (entries of names no
// record has are dropped). False, with `error`, for a damaged text; `hash`:
// what its "for" line names.
bool ParseConnectionSettings(const std::string& text, ConnectionRecords& records, std::string& hash,
                             std::string& error);

enum class SettingsRead { None, Matches, Differs, Damaged };
// Reads the settings file beside `connectionsFile` into the records.
// None: there is none (the records keep no settings); Matches / Differs:
// whether it was written with `connectionsBytes` (another program's save
// in between, or an older version that saved the connections file alone);
// Damaged: it cannot be read (`error` says why).
SettingsRead ReadConnectionSettings(const std::string& connectionsFile, const std::string& connectionsBytes,
                                    ConnectionRecords& records, std::string& error);

// Whether a record has a setting the settings file keeps.
inline bool HasConnectionSettings(const CConnectionProperties& r) {
  return !r.exclude.empty() || !r.backupDir.empty() || !r.settingsOther.empty();
}

}  // namespace twinbay
