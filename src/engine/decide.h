// The one decision of a compare: what a pair of files the walk found is to
// become (a copy either way, in step, a deletion following one on the other
// side, a conflict, or unknown), from both sides' listing facts, the pair's
// record of the last sync and the compare's options. Every class a file pair
// is given comes from here: the walk's, and a pair's re-classing after a copy
// or a delete.
#pragma once

#include <cstdint>
#include <limits>

#include "engine/file_entry.h"
#include "engine/state_rules.h"

namespace twinbay {

// A pair as the walk found it: each side's listing facts (null: not on that
// side; the precision of each side's time is in them), and whether that
// side's listing of the folder was read whole.
struct PairFacts {
  const FindData* local = nullptr;
  const FindData* remote = nullptr;
  bool localUnread = false;
  bool remoteUnread = false;
  // Both sides' contents compared by hash (files of equal size, where the
  // compare was asked to and the server gives a hash).
  enum class Content : uint8_t { Unchecked, Same, Differ };
  Content content = Content::Unchecked;
};

// A one-way mirror and its direction (None: both ways).
enum class MirrorPolicy : uint8_t { None, Up, Down };

struct DecideOptions {
  // The two sides' times compared to the minute, else to the second.
  bool ignoreSeconds = true;
  // Classes come from the pair's record of the last sync where it has one
  // (else only the times decide, the record is only written).
  bool memory = false;
  // A mirror classes by the times alone (the source wins where it is newer)
  // and deletes on its destination what is not on its source.
  MirrorPolicy mirror = MirrorPolicy::None;
  // The last-write times the server can hold (its protocol's range, UTC
  // ticks, both ends included): a time outside was never set there.
  int64_t remoteEarliest = std::numeric_limits<int64_t>::min();
  int64_t remoteLatest = std::numeric_limits<int64_t>::max();
};

// The class of a pair (record null: none). The rules, in order:
//  - a side missing from a listing not read whole may be there: StateUnknown;
//  - a record marking a direct store under way (StoreUnderWay), whatever the
//    mode: the local file is copied up, a server file alone is a Conflict;
//    a server file larger than the store's is someone else's: no record;
//  - a mirror: the times decide; a file on its destination only, in a folder
//    read whole on both sides, is deleted there (DeleteRemote up, DeleteLocal
//    down);
//  - with memory and a record, each side against its own record at its own
//    precision: neither changed InStep (whatever the times say), one changed
//    a copy from it, both changed InStep when alike now else Conflict, one
//    gone and the other unchanged a deletion of the other, one gone and the
//    other changed Conflict;
//  - else the times: a missing side is older; less than 3 seconds apart
//    (or the same minute with ignoreSeconds, or the coarser precision of the
//    two listings) InStep; the newer side is copied over the older, but a
//    time the server cannot hold never makes its side the newer one;
//  - contents compared by hash overrule the rest for two files of equal size:
//    the same InStep; different never InStep (where the rules above say so,
//    the newer time is copied over the older, and equal times are a
//    Conflict).
CompareState Decide(const PairFacts& pair, const RecordedPair* record, const DecideOptions& options);

// Whether a compare tags a pair of this class: never a conflict (the user
// settles it), nor a file a mirror leaves as it is (newer on its
// destination).
bool TaggedByCompare(CompareState cls, const DecideOptions& options);

}  // namespace twinbay
