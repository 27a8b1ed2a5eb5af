// The FTP client over libcurl, shared by the files that implement it: the
// connection class and what its parts have in common. Private to src/net.
//
//   curl_ftp.cpp          the protocol core: connect, log in, commands and their
//                         replies, transfers, features
//   curl_ftp_tls.cpp      TLS on the connections, TLS failures in words
//   curl_ftp_listing.cpp  MLSD and LIST listings, hidden entries, failed and
//                         partial listings, a cut listing read in parts
//   curl_ftp_links.cpp    what symbolic links lead to
//   curl_ftp_clock.cpp    the server's time zone (server_time.h)
//   curl_ftp_hash.cpp     content hashes (HASH, XSHA256 and the like)
//   ftp_quick_listing.cpp a listing with EPSV sent together with its command,
//                         beside libcurl on its control connection
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

#include "fs/paths.h"
#include "net/curl_ftp.h"
#include "net/ftp_quick_listing.h"
#include "net/listing_parser.h"
#include "net/server_time.h"

namespace twinbay {

// This computer's clock, in whole seconds, as ticks.
int64_t NowTicks();

constexpr size_t kMaxListingBytes = 256u << 20;  // a listing larger than this is refused

class CurlFtpConnection : public IFtpConnection {
 public:
  CurlFtpConnection(const FtpLogin& login, const FtpTimeouts& timeouts);
  ~CurlFtpConnection() override;

  bool Open() override;
  bool GetCurrentDirectory(std::string& directory) override;
  bool SetCurrentDirectory(const std::string& path) override;
  bool CreateDirectory(const std::string& path) override { return Safe(path) && Quote({"MKD " + path}); }
  bool Remove(const std::string& path) override { return Safe(path) && Quote({"DELE " + path}); }
  bool RemoveDirectory(const std::string& path) override { return Safe(path) && Quote({"RMD " + path}); }
  bool Rename(const std::string& from, const std::string& to) override {
    return Safe(from) && Safe(to) && Quote({"RNFR " + from, "RNTO " + to});
  }
  bool GetModificationTime(const std::string& path, int64_t& ticks) override;
  bool ReadMdtm(const std::string& path, int64_t& ticks);
  bool SetModificationTime(const std::string& path, int64_t ticks) override;
  bool ListDirectory(const std::string& path, ScanList& out) override;
  bool ListedInPart() const override { return listedInPart_; }
  void ListAhead(const std::vector<std::string>& paths) override;
  size_t ListingsTogether() const override;
  bool StatFile(const std::string& path, FindData& out) override;
  bool Retrieve(const std::string& path, const FtpSink& sink) override;
  bool Store(const std::string& path, const FtpSource& source, uint64_t size) override {
    return StoreOrAppend(path, source, size, false);
  }
  bool RetrieveFrom(const std::string& path, uint64_t offset, const FtpSink& sink) override;
  bool Append(const std::string& path, const FtpSource& source, uint64_t size) override {
    return StoreOrAppend(path, source, size, true);
  }
  bool GetSize(const std::string& path, uint64_t& size) override;
  bool GetHash(const std::string& path, HashKind kind, std::string& hex) override;

  void SetAbortFlag(const std::atomic<bool>* flag) override { abortFlag_ = flag; }
  void SetCancelFlag(const std::atomic<bool>* flag) override { cancelFlag_ = flag; }

  const FtpFeatures& Features() const override { return features_; }
  const std::string& LoginFolder() const override { return loginFolder_; }
  std::string LastError() const override { return error_; }
  bool LostConnection() const override { return lost_; }
  uint64_t RepliesReceived() const override { return replyCount_; }
  uint64_t RefusedReplies() const override { return refusedCount_; }
  uint64_t RefusedProbes() const override { return probeRefusals_; }
  bool Encrypted() const override { return encrypted_; }
  std::string RefusedCertificate() const override { return refusedCertificate_; }
  std::vector<std::string> TakeSkipped() override {
    std::vector<std::string> out;
    out.swap(skipped_);
    return out;
  }
  std::vector<std::string> TakeLeftOut() override { return std::exchange(leftOut_, {}); }

 private:
  struct Transfer {
    const FtpSink* sink;
    const FtpSource* source;
  };

  // The protocol core (curl_ftp.cpp).
  bool StoreOrAppend(const std::string& path, const FtpSource& source, uint64_t size, bool append);
  void WatchAbortFlag();
  static int CheckAbort(void* self, curl_off_t, curl_off_t, curl_off_t, curl_off_t);
  static size_t CollectReply(char* data, size_t size, size_t n, void* self);
  static int Debug(CURL*, curl_infotype type, char* data, size_t size, void* self);
  static size_t CollectBody(char* data, size_t size, size_t n, void* out);
  static size_t WriteToSink(char* data, size_t size, size_t n, void* p);
  static size_t ReadFromSource(char* buffer, size_t size, size_t n, void* p);
  bool Fail(const std::string& message);
  bool Safe(const std::string& path);
  std::string FolderUrl(const std::string& path) const;
  std::string FileUrl(const std::string& path) const { return base_ + "/" + EncodeFtpUrlPath(path); }
  void Prepare(const std::string& url, bool changeIntoFolder = false);
  CURLcode Drive();
  bool Perform(const std::string& what);
  bool LogIn();
  bool Quote(std::initializer_list<std::string> commands);
  // The folder a PWD reply (the last command's) names, into `directory`.
  void FolderFromReplies(std::string& directory) const;
  void ParseFeatures();
  void ParseHashFeature(const std::string& line);

  // TLS (curl_ftp_tls.cpp).
  void SetTlsOptions();
  static CURLcode InstallCheck(CURL*, void* sslContext, void* check);
  std::string TlsFailure(CURLcode rc);

  // Listings (curl_ftp_listing.cpp).
  static bool MlsdTakesPath(const std::string& path);
  bool RunListing(const std::string& path, const char* command, std::string& body, bool& cut, bool byPath = false);
  // A listing naming its folder, sent with EPSV on libcurl's idle control
  // connection (ftp_quick_listing.h) where that is plain FTP and FEAT offers
  // EPSV; `handled` false when it did not run (libcurl lists instead).
  bool QuickListing(const std::string& path, const char* command, std::string& body, bool& handled);
  bool ReadOwed(QuickListingResult& r, std::string& body);
  void DrainOwed();
  void CutQuick();
  static std::function<void(bool, const std::string&)> QuickTrace();
  bool ReadFailed(const std::string& path);
  bool ListWithHidden(const std::string& path, std::string& body, bool& cut);
  void LeaveOut(const std::string& path, ListingParse& parsed);
  bool ReportPartial(const std::string& path, const ListingParse& parsed);
  static bool HasListLines(const std::string& body);
  bool ListInParts(const std::string& path, int64_t now, ScanList& out, ListingParse& parsed);
  bool ListRaw(const std::string& path, std::string& body, const std::string& name = {});

  // Symbolic links (curl_ftp_links.cpp).
  void ResolveLinks(const std::string& folder, ScanList& entries);
  bool FileSize(const std::string& path, uint64_t& size);

  // ---- the server's time zone (server_time.h) ----------------------------------

  static std::string ParentOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
  }
  static std::string Join(const std::string& folder, const std::string& name) {
    std::string p = folder;
    AppendSeparator(p, true);
    if (p.empty()) p = "/";
    return p + name;
  }
  static std::string Trimmed(const std::string& folder) {
    std::string p = folder;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
  }

  // curl_ftp_clock.cpp.
  void OnOpened();
  void NoteFolders(const std::string& folder, std::string_view body);
  void ShiftListTimes(const std::string& folder, ScanList& entries);
  void SettleOffset(const std::string& folderPath, const FindData* sample);
  FolderWrite MayWrite(const std::string& folder);
  bool Probe(const std::string& folder, std::string& note, bool unjudged);
  void CleanUpProbe();
  void LearnMdtmZone(const std::string& folder, const FindData& sample);

  FtpLogin login_;
  FtpTimeouts timeouts_;
  std::shared_ptr<ServerClock> clock_;
  CURL* curl_ = nullptr;
  CURLM* multi_ = nullptr;
  std::string base_;
  FtpFeatures features_;
  std::string loginFolder_ = "/";
  std::string error_;
  std::vector<std::string> replies_;
  struct Said {
    bool out;
    std::string text;
  };
  std::vector<Said> dialogue_;
  bool performedOk_ = false;
  char errbuf_[CURL_ERROR_SIZE] = {};
  int cleanUpAttempts_ = 0;
  uint64_t replyCount_ = 0;
  uint64_t refusedCount_ = 0;
  uint64_t probeRefusals_ = 0;
  std::string cutReply_;
  enum class Hidden { Unknown, Yes, No };
  Hidden listHidden_ = Hidden::Unknown;
  struct LinkInfo {
    enum Kind { Nowhere, File, Folder } kind = Nowhere;
    std::string target;
    uint64_t size = 0;
    int64_t ticks = 0;
    bool exactTime = false;
  };
  std::map<std::string, LinkInfo> links_;
  std::vector<std::string> skipped_;
  std::vector<std::string> leftOut_;  // of the last listing
  bool listedInPart_ = false;
  // Quick listings: off for good after EPSV was refused; paused after one
  // broke the control connection, until libcurl has made it again.
  bool quickListings_ = true;
  bool quickPaused_ = false;
  bool quickTogether_ = true;  // off once a batch of listings broke
  bool batched_ = false;       // the commands last sent were for several listings
  std::vector<std::string> ahead_;  // the folders to list with the next one (ListAhead)
  std::deque<std::string> owed_;    // folders whose commands went out and whose replies are still unread
  std::string carry_;               // control bytes read beyond the last reply taken
  std::map<std::string, std::pair<QuickListingResult, std::string>> early_;  // listings read before asked for
  CertificateCheck check_;
  std::string refusedCertificate_;
  bool encrypted_ = false;
  const std::atomic<bool>* abortFlag_ = nullptr;
  const std::atomic<bool>* cancelFlag_ = nullptr;
  bool lost_ = false;
  // The sockets libcurl has open for this connection (control and data), so
  // that a cancelled connection can be cut rather than wait for QUIT's reply
  // from a server that has stopped answering.
  std::vector<curl_socket_t> sockets_;
  static curl_socket_t OpenSocket(void* self, curlsocktype purpose, curl_sockaddr* address);
  static int CloseSocket(void* self, curl_socket_t socket);
};

}  // namespace twinbay
