// One folder listing over an idle plain FTP control connection, without
// libcurl: "EPSV" and the listing command go out together, the data port is
// connected as soon as the 229 reply names it, and the listing is read beside
// the command's replies. libcurl waits for each reply before it sends the
// next command (EPSV, TYPE A, MLSD); this takes one round trip less per
// folder and sends no TYPE, so what libcurl knows of the connection (its
// folder, its transfer type) stays true.
//
// The control connection must be idle (no reply owed) and stays in step
// afterwards whenever the outcome is not Broken: every reply the two
// commands cause has then been read.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace twinbay {

struct QuickListingLimits {
  long connectSeconds = 20;
  long replySeconds = 60;    // for each reply before the listing starts
  long stalledSeconds = 60;  // for the listing, once the server has started it
  size_t maxBytes = 0;       // a longer listing is refused (the connection is then Broken)
  // Set: the exchange ends within a poll (cancel), or a second after it was
  // seen (abort), as Broken.
  const std::atomic<bool>* cancel = nullptr;
  const std::atomic<bool>* abort = nullptr;
};

enum class QuickListingEnd {
  Done,          // the final reply is a success and the data connection ended
  Refused,       // the listing command was refused or ended by the server (its reply in `error`)
  EpsvRefused,   // EPSV was refused (the server answered the listing command too)
  Broken,        // the connection is out of step or gone: it must not be used again
};

struct QuickListingResult {
  QuickListingEnd end = QuickListingEnd::Broken;
  std::vector<std::string> replies;  // every reply line of both commands, in order
  std::string error;                 // why, unless Done
  size_t finalReplies = 0;           // how many final replies (for the reply count)
  size_t refusals = 0;               // of them, how many 4xx/5xx
  bool outOfTurn = false;            // Broken by a reply that answered a later command
};

// Sends "EPSV" and each listing command (checked text, without CRLF) in one
// write; their replies are then read with ReadQuickListing, one command at a
// time, in order.
bool SendQuickListings(int control, const std::vector<std::string>& commands, long seconds,
                       const std::function<void(bool out, const std::string& line)>& trace = {});

// Reads the replies and the listing of the next command sent, on the
// connected control socket `control`; the listing's bytes go to `body`.
// `carry` holds what was read of the control connection beyond the last
// reply (the next command's replies), in and out. `trace`, when set, sees
// each reply line.
QuickListingResult ReadQuickListing(int control, std::string& body, std::string& carry,
                                    const QuickListingLimits& limits,
                                    const std::function<void(bool out, const std::string& line)>& trace = {});

// The port an EPSV reply ("229 Entering Extended Passive Mode (|||6446|)")
// names, or -1.
int EpsvPort(const std::string& reply);

}  // namespace twinbay
