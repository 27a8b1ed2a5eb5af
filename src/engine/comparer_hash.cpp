// The compare's content check: two files of equal size are told apart by a
// hash of their contents, where the server gives one (both sides hash with
// the same kind: the strongest the server gives).
#include "engine/comparer.h"
#include "fs/local_scan.h"
#include "fs/paths.h"

namespace twinbay {

void CFolderComparer::CheckContents(PairFacts& pair) {
  const FindData *l = pair.local, *r = pair.remote;
  if (!checksum_ || !l || !r || !l->sizeKnown || !r->sizeKnown || l->size != r->size || IsAborted()) return;
  if (!hashKind_) hashKind_ = StrongestHash(remote_->HashKinds() & local_->HashKinds());
  if (!*hashKind_) return;
  std::string lh, rh;
  const std::string lp = JoinLocalPath(currentRecord_->localPath, l->name);
  const std::string rp = JoinRemotePath(currentRecord_->remotePath, r->name);
  bool localOk = local_->Hash(lp, **hashKind_, lh), remoteOk = localOk && remote_->Hash(rp, **hashKind_, rh);
  // A server that hashed in a weaker kind than asked (it has not the
  // stronger) offers that one from then on: both sides hash again in it.
  if (const auto now = StrongestHash(remote_->HashKinds() & local_->HashKinds()); localOk && !remoteOk && now &&
                                                                                  now != *hashKind_) {
    hashKind_ = now;
    localOk = local_->Hash(lp, *now, lh), remoteOk = localOk && remote_->Hash(rp, *now, rh);
  }
  if (!remoteOk) {
    // Left to sizes and times, and told.
    if (hashFailures_++ == 0) hashFailure_ = localOk ? remote_->LastError() : local_->LastError();
    return;
  }
  pair.content = lh == rh ? PairFacts::Content::Same : PairFacts::Content::Differ;
}

std::string CFolderComparer::ChecksumNote() const {
  if (!checksum_ || !hashKind_) return {};
  if (!*hashKind_) return "the server offers no hash: sizes and times decide";
  if (hashFailures_ == 0) return {};
  return std::to_string(hashFailures_) + " file" + (hashFailures_ == 1 ? "" : "s") +
         " could not be hashed (sizes and times decided): " + hashFailure_;
}

}  // namespace twinbay
