#include "engine/decide.h"

#include <optional>

namespace twinbay {
namespace {

bool ServerHolds(const DecideOptions& o, int64_t ticks) {
  return ticks >= o.remoteEarliest && ticks <= o.remoteLatest;
}

CompareState ByTimes(const FindData* l, const FindData* r, const DecideOptions& o) {
  if (!l && !r) return InStep;
  if (!l) return CopyRemoteToLocal;
  if (!r) return CopyLocalToRemote;
  const int order =
      CompareFileTimes(l->lastWrite, l->precision, r->lastWrite, r->precision, SidesScope(o.ignoreSeconds));
  if (order == 0) return InStep;
  // A time the server cannot hold (outside its protocol's range: it was
  // never set there) never makes its side the newer one.
  const bool localOut = !ServerHolds(o, l->lastWrite), remoteOut = !ServerHolds(o, r->lastWrite);
  if (order > 0 && localOut && !remoteOut) return CopyRemoteToLocal;
  if (order < 0 && remoteOut && !localOut) return CopyLocalToRemote;
  return order > 0 ? CopyLocalToRemote : CopyRemoteToLocal;
}

// Both sides alike now: the same size (where the listing gave one) and the
// same time as the two sides are compared.
bool SidesAlike(const FindData& l, const FindData& r, bool ignoreSeconds) {
  return (!r.sizeKnown || l.size == r.size) &&
         CompareFileTimes(l.lastWrite, l.precision, r.lastWrite, r.precision, SidesScope(ignoreSeconds)) == 0;
}

// Each side against its own record, at its own precision (SideChanged): the
// sides' tolerance (3 seconds, or the minute) is only for one side's time
// against the other's, so a same-size edit within it is still an edit.
// Nothing without a record (a new file: the times decide).
std::optional<CompareState> ByRecord(const FindData* l, const FindData* r, const RecordedPair* record,
                                     const DecideOptions& o) {
  if (!record || (!l && !r)) return std::nullopt;
  const bool localChanged = l && SideChanged(*l, record->local);
  const bool remoteChanged = r && SideChanged(*r, record->remote);
  if (!l) return remoteChanged ? Conflict : DeleteRemote;
  if (!r) return localChanged ? Conflict : DeleteLocal;
  // Changed on both sides and alike now: in step (the same edit made on
  // both, or a copy made by another tool).
  if (localChanged && remoteChanged) return SidesAlike(*l, *r, o.ignoreSeconds) ? InStep : Conflict;
  if (localChanged) return CopyLocalToRemote;
  if (remoteChanged) return CopyRemoteToLocal;
  // Neither side changed since the record: in step whatever the times say (a
  // copy is recorded as both sides show it, also where a server did not take
  // the time it was given).
  return InStep;
}

// The class by the rules, before a content check.
CompareState DecideByFacts(const PairFacts& p, const RecordedPair* record, const DecideOptions& o) {
  const FindData *l = p.local, *r = p.remote;
  // A side missing from a listing that was not read whole may be there.
  if ((!l && p.localUnread) || (!r && p.remoteUnread)) return StateUnknown;
  // A store of ours may have broken off: the server's file is never the
  // newer one; without the local one it is left for the user. A server file
  // larger than the one the store began to write is not what it left (put
  // there by someone else since): the times decide, as with no record.
  if (record && StoreUnderWay(*record)) {
    if (!r || r->size <= record->local.size) return l ? CopyLocalToRemote : Conflict;
    record = nullptr;
  }
  if (o.mirror != MirrorPolicy::None) {
    const bool up = o.mirror == MirrorPolicy::Up;
    // Not on the source, in a folder read whole: deleted on the destination.
    if (!(up ? l : r) && (l || r) && !p.localUnread && !p.remoteUnread) return up ? DeleteRemote : DeleteLocal;
  } else if (o.memory) {
    if (const std::optional<CompareState> cls = ByRecord(l, r, record, o)) return *cls;
  }
  return ByTimes(l, r, o);
}

}  // namespace

CompareState Decide(const PairFacts& p, const RecordedPair* record, const DecideOptions& o) {
  const CompareState cls = DecideByFacts(p, record, o);
  if (p.content == PairFacts::Content::Same && p.local && p.remote) return InStep;
  if (p.content != PairFacts::Content::Differ || !p.local || !p.remote || cls != InStep) return cls;
  // Different contents the times call in step: the newer one, exactly.
  const int64_t lt = p.local->lastWrite, rt = p.remote->lastWrite;
  return lt > rt ? CopyLocalToRemote : lt < rt ? CopyRemoteToLocal : Conflict;
}

bool TaggedByCompare(CompareState cls, const DecideOptions& o) {
  if (cls == Conflict) return false;
  // A mirror leaves a file newer on its destination as it is.
  if (o.mirror == MirrorPolicy::Up) return cls != CopyRemoteToLocal;
  if (o.mirror == MirrorPolicy::Down) return cls != CopyLocalToRemote;
  return true;
}

}  // namespace twinbay
