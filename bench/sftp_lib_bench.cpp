// Which SSH library the SFTP file system is built on: libssh2 and libssh side
// by side against OpenSSH's sshd on loopback, and through a relay that adds a
// 20 ms round trip, with OpenSSH's sftp client and rclone as baselines.
//
//   sftp_lib_bench [--big-mib N]     (default 1024; needs root for sshd)
//
// Prints, for each library: listing a tree of 2,000 files in 111 folders (one
// connection; and eight connections walking it together), 200 x 4 KiB down and
// up (one connection; and eight), and one big file down and up on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <libssh/libssh.h>
#include <libssh/sftp.h>
#include <libssh2.h>
#include <libssh2_sftp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "support/sshd_server.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

struct Target {
  std::string host;
  int port;
  std::string key;
};

// One SFTP connection, whatever library stands behind it.
class Conn {
 public:
  virtual ~Conn() = default;
  // Names of the folder's entries (without . and ..) and which are folders.
  virtual bool List(const std::string& path, std::vector<std::pair<std::string, bool>>& out) = 0;
  virtual bool Get(const std::string& path, uint64_t& bytes) = 0;
  virtual bool Put(const std::string& path, uint64_t size) = 0;
};

int Dial(const Target& t) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(t.port));
  inet_pton(AF_INET, t.host.c_str(), &a.sin_addr);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(s);
    return -1;
  }
  int one = 1;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return s;
}

std::vector<char> Pattern(size_t n) {
  std::vector<char> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>(i * 131 + 7);
  return b;
}

class Ssh2Conn : public Conn {
 public:
  explicit Ssh2Conn(const Target& t) {
    fd_ = Dial(t);
    s_ = libssh2_session_init();
    if (fd_ < 0 || libssh2_session_handshake(s_, fd_) != 0) return;
    if (libssh2_userauth_publickey_fromfile(s_, "root", nullptr, t.key.c_str(), nullptr) != 0) {
      char* msg = nullptr;
      libssh2_session_last_error(s_, &msg, nullptr, 0);
      error = msg ? msg : "";
      return;
    }
    sftp_ = libssh2_sftp_init(s_);
  }
  ~Ssh2Conn() override {
    if (sftp_) libssh2_sftp_shutdown(sftp_);
    libssh2_session_disconnect(s_, "bye");
    libssh2_session_free(s_);
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return sftp_ != nullptr; }
  std::string error;
  bool List(const std::string& path, std::vector<std::pair<std::string, bool>>& out) override {
    LIBSSH2_SFTP_HANDLE* h = libssh2_sftp_opendir(sftp_, path.c_str());
    if (!h) return false;
    char name[1024], longentry[1024];
    LIBSSH2_SFTP_ATTRIBUTES a;
    int n;
    while ((n = libssh2_sftp_readdir_ex(h, name, sizeof name, longentry, sizeof longentry, &a)) > 0) {
      std::string s(name, n);
      if (s != "." && s != "..") out.emplace_back(s, LIBSSH2_SFTP_S_ISDIR(a.permissions));
    }
    libssh2_sftp_closedir(h);
    return n == 0;
  }
  bool Get(const std::string& path, uint64_t& bytes) override {
    LIBSSH2_SFTP_HANDLE* h = libssh2_sftp_open(sftp_, path.c_str(), LIBSSH2_FXF_READ, 0);
    if (!h) return false;
    // libssh2 keeps as many reads in flight as the buffer holds: the buffer
    // grows so that a small file costs one read.
    std::vector<char> buf(2 << 20);
    size_t want = 32 << 10;
    ssize_t n;
    while ((n = libssh2_sftp_read(h, buf.data(), want)) > 0) bytes += n, want = std::min(want * 2, buf.size());
    libssh2_sftp_close(h);
    return n == 0;
  }
  bool Put(const std::string& path, uint64_t size) override {
    LIBSSH2_SFTP_HANDLE* h = libssh2_sftp_open(sftp_, path.c_str(),
                                               LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644);
    if (!h) return false;
    static const std::vector<char> buf = Pattern(2 << 20);
    uint64_t done = 0;
    while (done < size) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(buf.size(), size - done));
      size_t off = 0;
      while (off < want) {
        const ssize_t n = libssh2_sftp_write(h, buf.data() + off, want - off);
        if (n <= 0) {
          libssh2_sftp_close(h);
          return false;
        }
        off += n;
      }
      done += want;
    }
    return libssh2_sftp_close(h) == 0;
  }

 private:
  int fd_ = -1;
  LIBSSH2_SESSION* s_ = nullptr;
  LIBSSH2_SFTP* sftp_ = nullptr;
};

class LibsshConn : public Conn {
 public:
  explicit LibsshConn(const Target& t) {
    s_ = ssh_new();
    ssh_options_set(s_, SSH_OPTIONS_HOST, t.host.c_str());
    unsigned port = t.port;
    ssh_options_set(s_, SSH_OPTIONS_PORT, &port);
    ssh_options_set(s_, SSH_OPTIONS_USER, "root");
    const int one = 1;
    ssh_options_set(s_, SSH_OPTIONS_NODELAY, &one);
    ssh_key key = nullptr;
    if (ssh_connect(s_) != SSH_OK || ssh_pki_import_privkey_file(t.key.c_str(), nullptr, nullptr, nullptr, &key) != 0)
      return;
    const int rc = ssh_userauth_publickey(s_, nullptr, key);
    ssh_key_free(key);
    if (rc != SSH_AUTH_SUCCESS) {
      error = ssh_get_error(s_);
      return;
    }
    sftp_ = sftp_new(s_);
    if (sftp_ && sftp_init(sftp_) != SSH_OK) {
      sftp_free(sftp_);
      sftp_ = nullptr;
    }
  }
  ~LibsshConn() override {
    if (sftp_) sftp_free(sftp_);
    ssh_disconnect(s_);
    ssh_free(s_);
  }
  bool ok() const { return sftp_ != nullptr; }
  std::string error;
  bool List(const std::string& path, std::vector<std::pair<std::string, bool>>& out) override {
    sftp_dir d = sftp_opendir(sftp_, path.c_str());
    if (!d) return false;
    while (sftp_attributes a = sftp_readdir(sftp_, d)) {
      std::string s = a->name;
      if (s != "." && s != "..") out.emplace_back(s, a->type == SSH_FILEXFER_TYPE_DIRECTORY);
      sftp_attributes_free(a);
    }
    const bool eof = sftp_dir_eof(d);
    sftp_closedir(d);
    return eof;
  }
  bool Get(const std::string& path, uint64_t& bytes) override {
    sftp_file f = sftp_open(sftp_, path.c_str(), O_RDONLY, 0);
    if (!f) return false;
    sftp_file_set_blocking(f);
    constexpr uint32_t kChunk = 65536;
    constexpr size_t kMaxAhead = 32;
    // Two at first, so that a file smaller than one block comes with its end
    // in one round trip; doubles with every reply.
    size_t ahead = 2;
    std::deque<int> ids;
    bool eof = false, ok = true;
    std::vector<char> buf(kChunk);
    while (ok) {
      while (!eof && ids.size() < ahead) {
        const int id = sftp_async_read_begin(f, kChunk);
        if (id < 0) break;
        ids.push_back(id);
      }
      if (ids.empty()) break;
      const int n = sftp_async_read(f, buf.data(), kChunk, ids.front());
      ids.pop_front();
      if (n < 0) ok = false;
      else if (n == 0) eof = true;
      else bytes += n;
      ahead = std::min(ahead * 2, kMaxAhead);
      if (eof && ids.empty()) break;
    }
    // Outstanding replies are drained by closing.
    sftp_close(f);
    return ok;
  }
  bool Put(const std::string& path, uint64_t size) override {
    sftp_file f = sftp_open(sftp_, path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!f) return false;
    static const std::vector<char> buf = Pattern(1 << 20);
    uint64_t done = 0;
    while (done < size) {
      // One write waits for its reply: as much as the server takes at once.
      const size_t want = static_cast<size_t>(std::min<uint64_t>(252 << 10, size - done));
      const ssize_t n = sftp_write(f, buf.data(), want);
      if (n <= 0) {
        sftp_close(f);
        return false;
      }
      done += n;
    }
    return sftp_close(f) == SSH_OK;
  }

 private:
  ssh_session s_ = nullptr;
  sftp_session sftp_ = nullptr;
};

using Factory = std::function<std::unique_ptr<Conn>()>;

// Walks the tree with `workers` connections sharing one queue of folders.
// Returns seconds (connections included) or -1; counts files and folders.
double Walk(const Factory& make, const std::string& top, int workers, int& files, int& folders) {
  const auto start = Clock::now();
  std::mutex m;
  std::condition_variable cv;
  std::deque<std::string> queue{top};
  int busy = 0;
  bool failed = false;
  files = folders = 0;
  auto worker = [&] {
    std::unique_ptr<Conn> c = make();
    if (!c) {
      std::lock_guard<std::mutex> l(m);
      failed = true;
      cv.notify_all();
      return;
    }
    std::unique_lock<std::mutex> l(m);
    for (;;) {
      cv.wait(l, [&] { return !queue.empty() || busy == 0 || failed; });
      if (queue.empty() || failed) return;
      const std::string path = queue.front();
      queue.pop_front();
      ++busy;
      l.unlock();
      std::vector<std::pair<std::string, bool>> entries;
      const bool ok = c->List(path, entries);
      l.lock();
      --busy;
      failed = failed || !ok;
      for (auto& [name, dir] : entries) {
        if (dir) queue.push_back(path + "/" + name), ++folders;
        else ++files;
      }
      cv.notify_all();
    }
  };
  std::vector<std::thread> ts;
  for (int i = 0; i < workers; ++i) ts.emplace_back(worker);
  for (auto& t : ts) t.join();
  return failed ? -1 : Since(start);
}

// Copies `count` small files down or up with `workers` connections.
double Small(const Factory& make, const std::string& folder, int count, bool up, int workers) {
  const auto start = Clock::now();
  std::atomic<int> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> ts;
  for (int w = 0; w < workers; ++w)
    ts.emplace_back([&] {
      std::unique_ptr<Conn> c = make();
      if (!c) return void(failed = true);
      for (int i; (i = next++) < count;) {
        const std::string p = folder + (up ? "/up" : "/f") + std::to_string(i);
        uint64_t bytes = 0;
        if (!(up ? c->Put(p, 4096) : c->Get(p, bytes) && bytes == 4096)) failed = true;
      }
    });
  for (auto& t : ts) t.join();
  return failed ? -1 : Since(start);
}

void MakeTree(const std::string& top) {
  std::vector<std::string> folders{top};
  for (int i = 0; i < 10; ++i) {
    folders.push_back(top + "/d" + std::to_string(i));
    for (int j = 0; j < 10; ++j) folders.push_back(folders[1 + i * 11] + "/e" + std::to_string(j));
  }
  for (const auto& f : folders) std::filesystem::create_directories(f);
  const std::vector<char> b = Pattern(1000);
  for (int i = 0; i < 2000; ++i) {
    FILE* f = fopen((folders[i % folders.size()] + "/file" + std::to_string(i) + ".txt").c_str(), "wb");
    fwrite(b.data(), 1, b.size(), f);
    fclose(f);
  }
}

double Shell(const std::string& command) {
  const auto start = Clock::now();
  const int rc = system((command + " >/dev/null 2>&1").c_str());
  return rc == 0 ? Since(start) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t bigMib = 1024;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--big-mib") bigMib = std::stoull(argv[i + 1]);
  setvbuf(stdout, nullptr, _IOLBF, 0);
  libssh2_init(0);
  ssh_init();
  twinbay::test::TempDir dir;
  std::string why;
  std::vector<std::string> keys;
  for (const char* type : {"rsa", "ecdsa", "ed25519"}) {
    keys.push_back(dir / (std::string("key_") + type));
    twinbay::test::MakeSshKey(keys.back(), type);
  }
  auto sshd = twinbay::test::SshTestServer::StartSshd(dir.path(), &why, {keys[0] + ".pub", keys[1] + ".pub", keys[2] + ".pub"});
  if (!sshd) {
    std::printf("sshd did not start: %s\n", why.c_str());
    return 1;
  }
  const std::string tree = dir / "tree", small = dir / "small", empty = dir / "empty";
  MakeTree(tree);
  std::filesystem::create_directories(small);
  std::filesystem::create_directories(empty);
  const std::vector<char> four = Pattern(4096);
  for (int i = 0; i < 200; ++i) {
    FILE* f = fopen((small + "/f" + std::to_string(i)).c_str(), "wb");
    fwrite(four.data(), 1, four.size(), f);
    fclose(f);
  }
  const pid_t relay = twinbay::bench::StartRelay(sshd->port(), 10);
  const std::string key = sshd->ClientKey();

  struct Lib {
    const char* name;
    std::function<Factory(const Target&)> factory;
  };
  const std::vector<Lib> libs = {
      {"libssh2 " LIBSSH2_VERSION,
       [](const Target& t) -> Factory {
         return [t]() -> std::unique_ptr<Conn> {
           auto c = std::make_unique<Ssh2Conn>(t);
           return c->ok() ? std::move(c) : nullptr;
         };
       }},
      {"libssh " SSH_STRINGIFY(LIBSSH_VERSION_MAJOR) "." SSH_STRINGIFY(LIBSSH_VERSION_MINOR) "." SSH_STRINGIFY(LIBSSH_VERSION_MICRO),
       [](const Target& t) -> Factory {
         return [t]() -> std::unique_ptr<Conn> {
           auto c = std::make_unique<LibsshConn>(t);
           return c->ok() ? std::move(c) : nullptr;
         };
       }},
  };
  // Sign-in with each kind of key OpenSSH makes (OpenSSH 8.8 and later refuse
  // RSA signatures made with SHA-1).
  for (const std::string& k : keys) {
    const Target t{"127.0.0.1", sshd->port(), k};
    Ssh2Conn a(t);
    LibsshConn b(t);
    std::printf("sign-in with %s: libssh2 %s; libssh %s\n", k.substr(k.rfind('_') + 1).c_str(),
                a.ok() ? "ok" : ("FAILED (" + a.error + ")").c_str(), b.ok() ? "ok" : ("FAILED (" + b.error + ")").c_str());
  }
  for (const auto& [where, host] : {std::pair{"loopback", "127.0.0.1"}, std::pair{"20 ms", "127.0.0.3"}}) {
    const Target t{host, sshd->port(), key};
    std::printf("== %s ==\n", where);
    for (const Lib& lib : libs) {
      const Factory make = lib.factory(t);
      int files = 0, folders = 0;
      const double l1 = Walk(make, tree, 1, files, folders);
      const double l8 = Walk(make, tree, 8, files, folders);
      std::printf("%-16s list %d files/%d folders: 1 conn %.2f s, 8 conns %.2f s\n", lib.name, files, folders + 1,
                  l1, l8);
      std::printf("%-16s 200 x 4 KiB down: 1 conn %.2f s, 8 conns %.2f s; up: 1 conn %.2f s, 8 conns %.2f s\n",
                  lib.name, Small(make, small, 200, false, 1), Small(make, small, 200, false, 8),
                  Small(make, small, 200, true, 1), Small(make, small, 200, true, 8));
    }
    const std::string remote = ":sftp,host=" + std::string(host) + ",port=" + std::to_string(sshd->port()) +
                               ",user=root,key_file=" + key + ":";
    const std::string rc = "RCLONE_CONFIG=/dev/null rclone ";
    std::printf("rclone (defaults) sync --dry-run of the tree %.2f s; copy 200 x 4 KiB down %.2f s, up %.2f s\n",
                Shell(rc + "sync --dry-run '" + remote + tree + "' " + empty),
                Shell(rc + "copy '" + remote + small + "' " + dir / "rdown"),
                Shell(rc + "copy " + small + " '" + remote + dir / "rup" + "'"));
  }
  kill(-relay, SIGTERM);
  waitpid(relay, nullptr, 0);

  // Throughput on loopback only (the relay is not built for it).
  const Target t{"127.0.0.1", sshd->port(), key};
  const uint64_t big = bigMib << 20;
  std::printf("== loopback, %llu MiB ==\n", static_cast<unsigned long long>(bigMib));
  for (const Lib& lib : libs) {
    auto c = lib.factory(t)();
    if (!c) continue;
    auto s = Clock::now();
    const bool up = c->Put(dir / "big", big);
    const double upS = Since(s);
    s = Clock::now();
    uint64_t got = 0;
    const bool down = c->Get(dir / "big", got) && got == big;
    const double downS = Since(s);
    std::printf("%-16s up %.2f s (%.0f MiB/s)%s, down %.2f s (%.0f MiB/s)%s\n", lib.name, upS, bigMib / upS,
                up ? "" : " FAILED", downS, bigMib / downS, down ? "" : " FAILED");
  }
  const std::string sftp = "sftp -q -P " + std::to_string(sshd->port()) + " -i " + key +
                           " -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -b - root@127.0.0.1 <<< ";
  const double sDown = Shell("bash -c \"" + sftp + "'get " + dir / "big" + " /dev/null'\"");
  const double sUp = Shell("bash -c \"" + sftp + "'put " + dir / "big" + " " + dir / "big2" + "'\"");
  std::printf("OpenSSH sftp     up %.2f s (%.0f MiB/s), down %.2f s (%.0f MiB/s)\n", sUp, bigMib / sUp, sDown,
              bigMib / sDown);
  libssh2_exit();
  ssh_finalize();
  return 0;
}
