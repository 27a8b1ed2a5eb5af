#include "net/ftp_quick_listing.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace twinbay {
namespace {

using Clock = std::chrono::steady_clock;

bool IsCode(const std::string& line) {
  return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
         std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2]));
}

// The reply lines of the control connection, one at a time, telling the
// final line of each reply (a multi-line reply ends with its code and a blank).
class Replies {
 public:
  // Takes the next whole line; false when none is there yet.
  bool Next(std::string& line) {
    const size_t nl = buffer_.find('\n');
    if (nl == std::string::npos) return false;
    line.assign(buffer_, 0, nl);
    buffer_.erase(0, nl + 1);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  }
  // Whether `line` ends a reply; `stray` is set for a line that belongs to
  // no reply at all.
  bool Final(const std::string& line, bool& stray) {
    stray = false;
    if (!open_.empty()) {
      if (line.size() >= 3 && line.compare(0, 3, open_) == 0 && (line.size() == 3 || line[3] == ' ')) {
        open_.clear();
        return true;
      }
      return false;
    }
    if (!IsCode(line)) return !(stray = true);
    if (line.size() > 3 && line[3] == '-') {
      open_ = line.substr(0, 3);
      return false;
    }
    return true;
  }
  std::string& Buffer() { return buffer_; }

 private:
  std::string buffer_;
  std::string open_;  // the code of the multi-line reply under way
};

bool SendAll(int fd, const std::string& text, long seconds) {
  size_t sent = 0;
  const auto until = Clock::now() + std::chrono::seconds(seconds);
  while (sent < text.size()) {
    const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    if (Clock::now() >= until) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 100);
  }
  return true;
}

}  // namespace

int EpsvPort(const std::string& reply) {
  // "(<d><d><d>port<d>)": the delimiter is whatever character follows "(".
  const size_t open = reply.find('(');
  if (open == std::string::npos || open + 4 >= reply.size()) return -1;
  const char d = reply[open + 1];
  if (reply[open + 2] != d || reply[open + 3] != d) return -1;
  size_t i = open + 4;
  long port = 0;
  const size_t digits = i;
  while (i < reply.size() && std::isdigit(static_cast<unsigned char>(reply[i])) && i - digits < 5)
    port = port * 10 + (reply[i++] - '0');
  if (i == digits || i >= reply.size() || reply[i] != d || port < 1 || port > 65535) return -1;
  return static_cast<int>(port);
}

bool SendQuickListings(int control, const std::vector<std::string>& commands, long seconds,
                       const std::function<void(bool out, const std::string& line)>& trace) {
  std::string text;
  for (const std::string& c : commands) {
    if (trace) trace(true, "EPSV"), trace(true, c);
    text += "EPSV\r\n" + c + "\r\n";
  }
  return SendAll(control, text, seconds);
}

QuickListingResult ReadQuickListing(int control, std::string& body, std::string& carry,
                                    const QuickListingLimits& limits,
                                    const std::function<void(bool out, const std::string& line)>& trace) {
  QuickListingResult r;
  body.clear();
  int data = -1;
  Replies* read = nullptr;
  auto finish = [&](QuickListingEnd end, const std::string& why) {
    if (data >= 0) close(data);
    carry.clear();
    if (read && end != QuickListingEnd::Broken) carry.swap(read->Buffer());
    r.end = end;
    r.error = why;
    return r;
  };
  sockaddr_storage peer{};
  socklen_t peerSize = sizeof peer;
  if (getpeername(control, reinterpret_cast<sockaddr*>(&peer), &peerSize) != 0 ||
      (peer.ss_family != AF_INET && peer.ss_family != AF_INET6))
    return finish(QuickListingEnd::Broken, "the control connection is gone");
  Replies replies;
  replies.Buffer().swap(carry);
  read = &replies;
  bool epsvAnswered = false, epsvRefused = false, started = false, connecting = false;
  bool dataEnded = false, finalSeen = false, refused = false;
  std::string dataError, finalReply;
  auto progress = Clock::now();
  Clock::time_point abortSeen{};
  char buf[64 * 1024];
  for (;;) {
    // Every whole reply line read so far.
    std::string line;
    while (!finalSeen && replies.Next(line)) {
      if (trace) trace(false, line);
      r.replies.push_back(line);
      bool stray = false;
      if (!replies.Final(line, stray)) {
        if (stray) return finish(QuickListingEnd::Broken, "the server sent a line that answers nothing: " + line);
        continue;
      }
      ++r.finalReplies;
      const char code = line[0];
      if (code == '4' || code == '5') ++r.refusals;
      if (!epsvAnswered) {
        epsvAnswered = true;
        if (code == '4' || code == '5') {
          epsvRefused = true;  // the listing command is still answered: read that reply too
          continue;
        }
        const int port = EpsvPort(line);
        if (code != '2' || port < 0) return finish(QuickListingEnd::Broken, "unexpected reply to EPSV: " + line);
        sockaddr_storage to = peer;
        if (to.ss_family == AF_INET) reinterpret_cast<sockaddr_in*>(&to)->sin_port = htons(static_cast<uint16_t>(port));
        else reinterpret_cast<sockaddr_in6*>(&to)->sin6_port = htons(static_cast<uint16_t>(port));
        data = socket(to.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (data < 0 || (connect(data, reinterpret_cast<sockaddr*>(&to), peerSize) != 0 && errno != EINPROGRESS))
          return finish(QuickListingEnd::Broken,
                        std::string("the data connection could not be made (") + std::strerror(errno) + ")");
        connecting = true;
        continue;
      }
      if (code == '1') {
        started = true;  // 125/150: the listing is under way
        continue;
      }
      // A success is a 226 or 250 after a 1xx: anything else is a reply out
      // of turn (a server that answers the next commands while this listing
      // waits), and the data connection might then carry another listing.
      if (code == '2' && (!started || (line.compare(0, 3, "226") != 0 && line.compare(0, 3, "250") != 0))) {
        r.outOfTurn = true;
        return finish(QuickListingEnd::Broken, "the server answered out of turn: " + line);
      }
      if (code != '2' && code != '4' && code != '5')
        return finish(QuickListingEnd::Broken, "unexpected reply to the listing: " + line);
      finalSeen = true;
      refused = code != '2';
      finalReply = line;
    }
    if (finalSeen && (refused || epsvRefused)) {
      // Nothing more is owed on the control connection; the data connection,
      // if any, is dropped.
      if (epsvRefused) return finish(QuickListingEnd::EpsvRefused, "the server refused EPSV");
      return finish(QuickListingEnd::Refused, "the server ended the listing (" + finalReply + ")");
    }
    if (finalSeen && dataEnded) {
      if (!dataError.empty())
        return finish(QuickListingEnd::Refused,
                      "the listing's data connection broke (" + dataError + "), although the server said " +
                          finalReply);
      return finish(QuickListingEnd::Done, "");
    }

    if (limits.cancel && limits.cancel->load()) return finish(QuickListingEnd::Broken, "stopped");
    if (limits.abort && limits.abort->load()) {
      const auto now = Clock::now();
      if (abortSeen == Clock::time_point{}) abortSeen = now;
      else if (now - abortSeen >= std::chrono::seconds(1)) return finish(QuickListingEnd::Broken, "stopped");
    }
    const long limit = started ? limits.stalledSeconds : connecting ? limits.connectSeconds : limits.replySeconds;
    if (Clock::now() - progress >= std::chrono::seconds(limit))
      return finish(QuickListingEnd::Broken, started ? "the listing stalled for " + std::to_string(limit) + " s"
                                                     : "no answer from the server in " + std::to_string(limit) + " s");

    pollfd fds[2] = {{finalSeen ? -1 : control, POLLIN, 0}, {-1, 0, 0}};
    if (data >= 0 && !dataEnded) fds[1] = {data, connecting ? short(POLLOUT) : short(POLLIN), 0};
    if (poll(fds, 2, 100) < 0 && errno != EINTR)
      return finish(QuickListingEnd::Broken, std::string("poll failed (") + std::strerror(errno) + ")");
    if (fds[0].revents) {
      const ssize_t n = recv(control, buf, sizeof buf, MSG_DONTWAIT);
      if (n == 0) return finish(QuickListingEnd::Broken, "the server closed the connection");
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        return finish(QuickListingEnd::Broken, std::string("the connection broke (") + std::strerror(errno) + ")");
      if (n > 0) {
        replies.Buffer().append(buf, static_cast<size_t>(n));
        progress = Clock::now();
      }
    }
    if (fds[1].revents && connecting) {
      int error = 0;
      socklen_t size = sizeof error;
      getsockopt(data, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0)
        return finish(QuickListingEnd::Broken,
                      std::string("the data connection could not be made (") + std::strerror(error) + ")");
      connecting = false;
      progress = Clock::now();
    } else if (fds[1].revents) {
      const ssize_t n = recv(data, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) {
        if (limits.maxBytes && body.size() + static_cast<size_t>(n) > limits.maxBytes)
          return finish(QuickListingEnd::Broken, "the listing is larger than " +
                                                     std::to_string(limits.maxBytes >> 20) + " MiB");
        body.append(buf, static_cast<size_t>(n));
        progress = Clock::now();
      } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        // The end of the listing, or a data connection cut short: the
        // server's final reply still comes, and is read before this ends.
        if (n < 0) dataError = std::strerror(errno);
        dataEnded = true;
        close(data);
        data = -1;
        progress = Clock::now();
      }
    }
  }
}

}  // namespace twinbay
