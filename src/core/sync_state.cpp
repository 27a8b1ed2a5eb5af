#include "core/sync_state.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

namespace twinbay {
namespace {

// The files of a folder are keyed by the folder's number rather than its
// path: rows half the size, and a compare's first run writes one per file.
constexpr const char* kSchema =
    "CREATE TABLE IF NOT EXISTS pairs(id INTEGER PRIMARY KEY, place TEXT NOT NULL, local_root TEXT NOT NULL,"
    " remote_root TEXT NOT NULL, UNIQUE(place, local_root, remote_root));"
    "CREATE TABLE IF NOT EXISTS folders(id INTEGER PRIMARY KEY, pair INTEGER NOT NULL, path TEXT NOT NULL,"
    " UNIQUE(pair, path));"
    "CREATE TABLE IF NOT EXISTS files(folder INTEGER NOT NULL, name TEXT NOT NULL, local_size INTEGER NOT NULL,"
    " local_time INTEGER NOT NULL, remote_size INTEGER NOT NULL, remote_time INTEGER NOT NULL,"
    " PRIMARY KEY(folder, name)) WITHOUT ROWID;";
// The layout's number (user_version). Files of the first layout (files keyed
// by pair and folder path, version 0) lose their rows: the next compare of
// each pair is a first run.
constexpr int kLayout = 2;

// Our databases say so in their header, so that another program's file is
// never taken for one (or changed).
constexpr int kApplicationId = 0x54574259;  // "TWBY"

// Binds text parameters and runs a statement that is reset afterwards.
class Statement {
 public:
  explicit Statement(sqlite3_stmt* s) : s_(s) {}
  ~Statement() {
    if (s_) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  explicit operator bool() const { return s_ != nullptr; }
  // Bound without a copy: the text must outlive the step, so temporaries are
  // refused.
  Statement& Text(int i, const std::string& v) {
    sqlite3_bind_text(s_, i, v.data(), static_cast<int>(v.size()), SQLITE_STATIC);
    return *this;
  }
  Statement& Text(int i, std::string&& v) = delete;
  Statement& Int(int i, int64_t v) {
    sqlite3_bind_int64(s_, i, v);
    return *this;
  }
  int Step() { return sqlite3_step(s_); }
  sqlite3_stmt* Get() const { return s_; }
  int64_t Column(int i) { return sqlite3_column_int64(s_, i); }
  std::string ColumnText(int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s_, i));
    return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(s_, i))) : std::string();
  }

 private:
  sqlite3_stmt* s_;
};

}  // namespace

namespace {
// Finalises the statements kept for the database (a close leaves the
// database open while any is left), then closes it.
void CloseDatabase(sqlite3* db) {
  if (!db) return;
  while (sqlite3_stmt* s = sqlite3_next_stmt(db, nullptr)) sqlite3_finalize(s);
  sqlite3_close(db);
}
}  // namespace

// Takes the group's and others' bits that `mode` leaves out off a file or folder.
static void KeepPrivate(const std::string& path, unsigned mode) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && !S_ISLNK(st.st_mode) && (st.st_mode & 077 & ~mode))
    chmod(path.c_str(), st.st_mode & mode);
}

SyncStateStore::~SyncStateStore() { CloseDatabase(db_); }

std::string SyncStateStore::DefaultFile() {
  std::string base;
  if (const char* x = std::getenv("XDG_DATA_HOME"); x && *x == '/') base = x;
  else if (const char* h = std::getenv("HOME"); h && *h == '/') base = std::string(h) + "/.local/share";
  else return {};
  return base + "/Kestrion/twinbay-state.sqlite";
}

bool SyncStateStore::Fail(const std::string& what) {
  error_ = what + ": " + (db_ ? sqlite3_errmsg(db_) : "no database");
  return false;
}

bool SyncStateStore::Exec(const char* sql) {
  char* msg = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &msg) == SQLITE_OK) return true;
  error_ = msg ? msg : "the state database failed";
  sqlite3_free(msg);
  return false;
}

sqlite3_stmt* SyncStateStore::Prepare(const char* sql) {
  // Statements are made once per database and kept: the text's address is
  // the key (every caller passes a literal).
  sqlite3_stmt*& s = statements_[sql];
  if (!s && sqlite3_prepare_v3(db_, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
    s = nullptr;
    Fail("the state database");
  }
  return s;
}

bool SyncStateStore::Open(const std::string& file, std::string& error, bool check) {
  damaged_ = false;
  error_.clear();
  // The folder must take the file and its journal (WAL): a folder that cannot
  // be written is said to be one, not taken for a file of another program.
  const std::filesystem::path folder = std::filesystem::path(file).parent_path();
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    error = "cannot use the sync state " + file + ": its folder " + folder.string() + " cannot be made (" +
            ec.message() + ")";
    return false;
  }
  // The state says which files a user has and where: it is theirs alone.
  // The default folder is made private (and so is a wider one found);
  // the file and SQLite's own beside it (which SQLite makes with the
  // file's mode) are, wherever they are.
  if (file == DefaultFile()) KeepPrivate(folder.string(), 0700);
  if (const int fd = open(file.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600); fd >= 0) close(fd);
  for (const char* end : {"", "-wal", "-shm", "-journal"}) KeepPrivate(file + end, 0600);
  const bool folderOk = access(folder.c_str(), W_OK) == 0;
  if (!folderOk || (access(file.c_str(), F_OK) == 0 && access(file.c_str(), W_OK) != 0)) {
    const int why = errno;
    error = "cannot use the sync state " + file + ": " + (folderOk ? "the file" : "its folder " + folder.string()) +
            " cannot be written (" + std::generic_category().message(why) + ")";
    return false;
  }
  if (sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOFOLLOW,
                      nullptr) != SQLITE_OK) {
    error = "cannot open the sync state " + file + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory");
    CloseDatabase(db_);
    db_ = nullptr;
    return false;
  }
  // Another program writing the state is waited for, up to 10 s in small
  // steps, and no longer once the stop flag is set (Stop in the window).
  sqlite3_busy_handler(
      db_,
      [](void* self, int tries) {
        const std::atomic<bool>* stop = static_cast<SyncStateStore*>(self)->stop_;
        if (tries >= 500 || (stop && stop->load())) return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return 1;
      },
      this);
  // Each read says whether it was read: a header that cannot be read is not
  // taken for one that is not ours, nor for an empty file.
  auto one = [&](const char* sql, int64_t& value) {
    Statement s(Prepare(sql));
    const int rc = s ? s.Step() : SQLITE_ERROR;
    if (rc == SQLITE_ROW) value = s.Column(0);
    else if (s) Fail("cannot read it");
    return rc == SQLITE_ROW;
  };
  int64_t app = -1, count = -1, layout = -1;
  bool ok = one("PRAGMA application_id", app) && one("SELECT count(*) FROM sqlite_master", count) &&
            one("PRAGMA user_version", layout);
  if (ok && !(app == kApplicationId || (app == 0 && count == 0)))
    ok = false, error_ = "it is not a state file of this program";
  if (ok && layout > kLayout) ok = false, error_ = "it was made by a newer version of this program";
  // A file of ours whose pages do not read as they should (a disk fault,
  // another writer) would lose records unseen: it is checked whole first
  // (a read of every page; a few hundredths of a second for 100,000 files).
  if (ok && check && app == kApplicationId) ok = Check();
  // WAL with NORMAL sync: every committed row survives a crash of the
  // program; a power cut may lose the last ones, never half of one.
  ok = ok && Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;") &&
       Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str()) &&
       (layout == kLayout || Exec("BEGIN IMMEDIATE; DROP TABLE IF EXISTS files; COMMIT;")) && Exec(kSchema) &&
       Exec(("PRAGMA user_version=" + std::to_string(kLayout)).c_str());
  if (!ok) {
    error = "cannot use the sync state " + file + ": " + error_;
    CloseDatabase(db_);  // finalises the statements kept
    db_ = nullptr;
    statements_.clear();
  }
  return ok;
}

bool SyncStateStore::Check() {
  Statement s(Prepare("PRAGMA quick_check(1)"));
  const int rc = s ? s.Step() : SQLITE_ERROR;
  const std::string says = rc == SQLITE_ROW ? s.ColumnText(0) : std::string();
  if (says == "ok") return true;
  damaged_ = true;
  // "*** in database main ***\nPage 36: btreeInitPage() returns error code 11"
  std::string why = rc == SQLITE_ROW ? says : std::string(sqlite3_errmsg(db_));
  if (const size_t line = why.find('\n'); why.rfind("***", 0) == 0 && line != std::string::npos) why.erase(0, line + 1);
  for (char& c : why) c = c == '\n' ? ' ' : c;
  error_ = "it is damaged (" + why + ")";
  return false;
}

bool SyncStateStore::ReadFailed(int rc, const char* what) {
  if (rc == SQLITE_ROW || rc == SQLITE_DONE) return false;
  const int code = sqlite3_errcode(db_) & 0xff;
  if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB) damaged_ = true;
  Fail(what);
  std::lock_guard g(readErrorMutex_);
  if (readError_.empty()) readError_ = error_;
  return true;
}

std::string SyncStateStore::ReadError() const {
  std::lock_guard g(readErrorMutex_);
  return readError_;
}

int64_t SyncStateStore::FindPair(const std::string& key, const std::string& localRoot, const std::string& remoteRoot) {
  Statement find(Prepare("SELECT id FROM pairs WHERE place = ?1 AND local_root = ?2 AND remote_root = ?3"));
  if (!find) return -1;
  const int rc = find.Text(1, key).Text(2, localRoot).Text(3, remoteRoot).Step();
  return rc == SQLITE_ROW ? find.Column(0) : ReadFailed(rc, "cannot read the folder pairs") ? -1 : 0;
}

int64_t SyncStateStore::Pair(const std::string& place, const std::string& localRoot, const std::string& remoteRoot,
                             bool make, const std::vector<std::string>& formerKeys) {
  if (!db_) return 0;
  int64_t id = FindPair(place, localRoot, remoteRoot);
  if (id < 0) return 0;
  if (!make) return id;
  // Records kept under a former key of the same folders (a connection's
  // name, an address written otherwise) become the place's, unless the
  // place has records of its own: a pair is never merged, never dropped.
  const int64_t rows = id ? Count(id) : 0;
  if (rows < 0) return 0;
  for (const std::string& former : formerKeys) {
    if (rows > 0 || former.empty() || former == place) continue;
    const int64_t old = FindPair(former, localRoot, remoteRoot);
    if (old < 0) return 0;
    if (old == 0) continue;
    Statement drop(Prepare("DELETE FROM pairs WHERE id = ?1"));
    Statement dropFolders(Prepare("DELETE FROM folders WHERE pair = ?1"));
    Statement move(Prepare("UPDATE pairs SET place = ?1 WHERE id = ?2"));
    bool ok = Begin() && drop && dropFolders && move && dropFolders.Int(1, id).Step() == SQLITE_DONE &&
              drop.Int(1, id).Step() == SQLITE_DONE && move.Text(1, place).Int(2, old).Step() == SQLITE_DONE;
    if (!ok) Fail("cannot adopt the records kept under " + former);
    ok = Commit() && ok;
    lastFolder_ = {};
    return ok ? old : 0;
  }
  if (id) return id;
  Statement add(Prepare("INSERT OR IGNORE INTO pairs(place, local_root, remote_root) VALUES(?1, ?2, ?3)"));
  if (!add || add.Text(1, place).Text(2, localRoot).Text(3, remoteRoot).Step() != SQLITE_DONE) {
    Fail("cannot record the folder pair");
    return 0;
  }
  id = FindPair(place, localRoot, remoteRoot);
  return id > 0 ? id : 0;
}

bool SyncStateStore::HasRows(int64_t pair) {
  Statement s(Prepare("SELECT 1 FROM files WHERE folder IN (SELECT id FROM folders WHERE pair = ?1) LIMIT 1"));
  return s && s.Int(1, pair).Step() == SQLITE_ROW;
}

int64_t SyncStateStore::FolderId(int64_t pair, const std::string& folder, bool make) {
  // The folder of the last call is kept: a compare writes a folder's files
  // one after another.
  if (lastFolder_.id && lastFolder_.pair == pair && lastFolder_.path == folder) return lastFolder_.id;
  if (make) {
    Statement add(Prepare("INSERT OR IGNORE INTO folders(pair, path) VALUES(?1, ?2)"));
    if (!add || add.Int(1, pair).Text(2, folder).Step() != SQLITE_DONE) return Fail("cannot record a folder"), 0;
  }
  Statement find(Prepare("SELECT id FROM folders WHERE pair = ?1 AND path = ?2"));
  if (!find) return 0;
  if (const int rc = find.Int(1, pair).Text(2, folder).Step(); rc != SQLITE_ROW) {
    ReadFailed(rc, "cannot read the folders");
    return 0;
  }
  lastFolder_ = {pair, folder, find.Column(0)};
  return lastFolder_.id;
}

RecordedFolderList SyncStateStore::Folder(int64_t pair, const std::string& folder) {
  RecordedFolderList out;
  const int64_t id = FolderId(pair, folder, false);
  // In key order, which is the names' byte order.
  Statement s(Prepare("SELECT name, local_size, local_time, remote_size, remote_time FROM files"
                      " WHERE folder = ?1 ORDER BY name"));
  if (!id || !s) return out;
  s.Int(1, id);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) {
    RecordedFile& r = out.emplace_back();
    r.name = s.ColumnText(0);
    r.sides.local = {static_cast<uint64_t>(s.Column(1)), s.Column(2)};
    r.sides.remote = {static_cast<uint64_t>(s.Column(3)), s.Column(4)};
  }
  // Rows cut short are not a folder with fewer files: a file deleted on one
  // side would read as never synchronised, and be copied back.
  if (ReadFailed(rc, "cannot read the records")) out.clear();
  return out;
}

bool SyncStateStore::Record(int64_t pair, const std::string& folder, const std::string& name,
                            const RecordedPair& sides) {
  const int64_t id = FolderId(pair, folder, true);
  // An update in place where the row is there: cheaper than REPLACE, which
  // deletes the old row and inserts a new one.
  Statement s(Prepare("INSERT INTO files VALUES(?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT DO UPDATE SET"
                      " local_size = ?3, local_time = ?4, remote_size = ?5, remote_time = ?6"));
  if (!id || !s) return false;
  s.Int(1, id).Text(2, name);
  s.Int(3, static_cast<int64_t>(sides.local.size)).Int(4, sides.local.time);
  s.Int(5, static_cast<int64_t>(sides.remote.size)).Int(6, sides.remote.time);
  return s.Step() == SQLITE_DONE || Fail("cannot record a file");
}

namespace {
// Rows to one statement in RecordMany: a tenth of the cost per row of
// statements of one row each goes (binding, stepping, resetting).
constexpr size_t kRowsPerStatement = 32;

const std::string& ManyRowsStatement() {
  static const std::string sql = [] {
    std::string s = "INSERT INTO files VALUES";
    for (size_t i = 0; i < kRowsPerStatement; ++i) s += i ? ",(?,?,?,?,?,?)" : "(?,?,?,?,?,?)";
    return s + " ON CONFLICT DO UPDATE SET local_size = excluded.local_size, local_time = excluded.local_time,"
               " remote_size = excluded.remote_size, remote_time = excluded.remote_time";
  }();
  return sql;
}
}  // namespace

bool SyncStateStore::RecordMany(int64_t pair, const std::string& folder, const RecordedFile* const* files,
                                size_t count) {
  const int64_t id = FolderId(pair, folder, true);
  if (!id) return false;
  size_t i = 0;
  for (; count - i >= kRowsPerStatement; i += kRowsPerStatement) {
    Statement s(Prepare(ManyRowsStatement().c_str()));  // the text's address is fixed
    if (!s) return false;
    for (size_t k = 0; k < kRowsPerStatement; ++k) {
      const RecordedFile& f = *files[i + k];
      const int b = static_cast<int>(k * 6);
      s.Int(b + 1, id).Text(b + 2, f.name);
      s.Int(b + 3, static_cast<int64_t>(f.sides.local.size)).Int(b + 4, f.sides.local.time);
      s.Int(b + 5, static_cast<int64_t>(f.sides.remote.size)).Int(b + 6, f.sides.remote.time);
    }
    if (s.Step() != SQLITE_DONE) return Fail("cannot record a file");
  }
  for (; i < count; ++i)
    if (!Record(pair, folder, files[i]->name, files[i]->sides)) return false;
  return true;
}

bool SyncStateStore::Remove(int64_t pair, const std::string& folder, const std::string& name) {
  const int64_t id = FolderId(pair, folder, false);
  Statement s(Prepare("DELETE FROM files WHERE folder = ?1 AND name = ?2"));
  return id == 0 || (s && (s.Int(1, id).Text(2, name).Step() == SQLITE_DONE || Fail("cannot remove a record")));
}

bool SyncStateStore::Begin() {
  if (inTransaction_) return true;
  inTransaction_ = Exec("BEGIN IMMEDIATE");
  return inTransaction_;
}

bool SyncStateStore::Commit() {
  if (!inTransaction_) return true;
  inTransaction_ = false;
  if (Exec("COMMIT")) return true;
  Exec("ROLLBACK");
  lastFolder_ = {};  // its row may have been rolled back
  return false;
}

int64_t SyncStateStore::Count(int64_t pair) {
  Statement s(Prepare("SELECT count(*) FROM files WHERE folder IN (SELECT id FROM folders WHERE pair = ?1)"));
  if (!s) return -1;
  const int rc = s.Int(1, pair).Step();
  return rc == SQLITE_ROW ? s.Column(0) : (ReadFailed(rc, "cannot count the records"), -1);
}

std::vector<std::string> SyncStateStore::Folders(int64_t pair) {
  std::vector<std::string> out;
  Statement s(Prepare("SELECT path FROM folders WHERE pair = ?1"));
  if (!s) return out;
  s.Int(1, pair);
  int rc;
  while ((rc = s.Step()) == SQLITE_ROW) out.push_back(s.ColumnText(0));
  if (ReadFailed(rc, "cannot read the folders")) out.clear();
  return out;
}

bool SyncStateStore::RemoveFolder(int64_t pair, const std::string& folder) {
  const int64_t id = FolderId(pair, folder, false);
  lastFolder_ = {};
  Statement files(Prepare("DELETE FROM files WHERE folder = ?1"));
  Statement row(Prepare("DELETE FROM folders WHERE id = ?1"));
  return id == 0 || (files && row && files.Int(1, id).Step() == SQLITE_DONE && row.Int(1, id).Step() == SQLITE_DONE) ||
         Fail("cannot remove records");
}

int SyncStateStore::ForgetPlace(const std::string& place) {
  lastFolder_ = {};
  if (!Begin()) return -1;
  Statement files(Prepare("DELETE FROM files WHERE folder IN (SELECT folders.id FROM folders"
                          " JOIN pairs ON folders.pair = pairs.id WHERE pairs.place = ?1)"));
  Statement folders(Prepare("DELETE FROM folders WHERE pair IN (SELECT id FROM pairs WHERE place = ?1)"));
  Statement pairs(Prepare("DELETE FROM pairs WHERE place = ?1"));
  const bool ok = files && folders && pairs && files.Text(1, place).Step() == SQLITE_DONE &&
                  folders.Text(1, place).Step() == SQLITE_DONE && pairs.Text(1, place).Step() == SQLITE_DONE;
  const int forgotten = ok ? sqlite3_changes(db_) : -1;
  if (!ok) Fail("cannot forget the state");
  return Commit() && ok ? forgotten : -1;
}

}  // namespace twinbay
