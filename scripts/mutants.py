#!/usr/bin/env python3
"""Deliberate faults, one at a time: does the test suite catch each?

Each fault below breaks one promise users rely on with a small slip in the
source: an exact snippet that must occur exactly once in its file (the run
stops at once when one does not, so the list is kept honest as the code
changes) and what replaces it. For each fault in turn, in a scratch copy of the
tree (never the developer's checkout), the fault is applied, the normal
configuration is built incrementally, the suite runs under ctest, and the
fault is reported caught (a test failed), missed (every test passed) or "did
not build" (a broken entry of this list, to be fixed). The copy is put back
after each fault, also on Ctrl-C or SIGTERM. Run it through scripts/mutants.sh.
"""

import argparse
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass


@dataclass
class Fault:
    id: str
    promise: str  # what the fault breaks, in one line
    file: str
    find: str
    replace: str


F = Fault
FAULTS = [
    # ---- listing ----------------------------------------------------------
    F("list-550-root-empty", "a top folder the server refuses to list is taken as not there yet (empty)",
      "src/engine/comparer.cpp",
      "} else if (folderClass == FolderRoot && record && out.empty() &&\n             FolderMissing(fs, path, remote ? 1 : 64)) {",
      "} else if (folderClass == FolderRoot && record && out.empty()) {"),
    F("list-550-empty", "a refused LIST -a, once hidden entries are known to work, reads as an empty folder",
      "src/net/curl_ftp_listing.cpp",
      "if (listHidden_ == Hidden::Yes) return ok;",
      "if (listHidden_ == Hidden::Yes) return true;"),
    F("list-unreadable-dropped", "a listing line that could not be read is dropped silently",
      "src/net/curl_ftp_listing.cpp",
      "return parsed.Whole() || ReportPartial(path, parsed);",
      "return parsed.unsafe.empty() || ReportPartial(path, parsed);"),
    F("list-truncation-case", "pure-ftpd's \"226 Output truncated\" is not noticed (matched with a capital T)",
      "src/net/curl_ftp_listing.cpp",
      'if (lower.find("truncated") != std::string::npos) {',
      'if (r.find("Truncated") != std::string::npos) {'),
    F("list-truncation-unsorted", "a server that ignores \"-r\" gives the first part twice, taken as the whole",
      "src/net/curl_ftp_listing.cpp",
      "if (!overlap || !sorted)",
      "if (!overlap)"),
    F("list-vsftpd-failed-open", "vsftpd's \"226 ... (but failed to open directory)\" is not noticed",
      "src/net/curl_ftp_listing.cpp",
      'if (lower.find("failed to open") != std::string::npos)',
      'if (r.find("Failed to open") != std::string::npos)'),
    F("list-name-slash", "a listed name holding \"/\" (a path out of the folder) is accepted",
      "src/net/listing_parser.cpp",
      "if (c == '/' || u < 0x20 || u == 0x7f || u == 0xff) return false;",
      "if (u < 0x20 || u == 0x7f || u == 0xff) return false;"),
    F("ftp-name-tab", "a name with a tab is used over FTP (pure-ftpd hides it: the local file reads as one-sided)",
      "src/net/listing_parser.cpp",
      "if (c == '/' || u < 0x20 || u == 0x7f || u == 0xff) return false;",
      "if (c == '/' || c == '\\0' || c == '\\r' || c == '\\n' || u == 0xff) return false;"),
    F("sftp-name-unsafe-empty", "SFTP's check of listed names only refuses an empty one (\"../x\", \"a/b\" are used)",
      "src/net/sftp_fs.cpp",
      'return name.empty() || name == "." || name == ".." || name.find_first_of(std::string("/\\0", 2)) != std::string::npos;',
      "return name.empty();"),
    F("list-unusable-blocks-folder", "one name FTP cannot send makes its whole folder incomplete (nothing else copied)",
      "src/net/curl_ftp_listing.cpp",
      "  LeaveOut(path, parsed);\n",
      ""),
    F("xfer-left-out-folder-removed", "a folder holding only names its listing left out is asked to be removed "
      "(a command the server must refuse)",
      "src/transfer/transfer_delete.cpp",
      "} else if (!left.empty() || !fs.TakeLeftOut().empty()) {",
      "} else if (!left.empty()) {"),
    F("cmp-other-side-name", "a name the other side cannot take is copied (a line break or byte 0xFF to an FTP server)",
      "src/engine/comparer.cpp",
      "if (other.TakesName(fd.name)) return false;",
      "if (true) return false;"),
    F("ftp-0xff-sent", "a remote path holding byte 0xFF is sent (only a doubled one is refused)",
      "src/net/curl_ftp.cpp",
      "if (path.find('\\xff') != std::string::npos)",
      'if (path.find("\\xff\\xff") != std::string::npos)'),
    # ---- compare ----------------------------------------------------------
    F("cmp-incomplete-tagged", "files in a folder that could not be read whole are tagged after a compare",
      "src/engine/comparer.cpp",
      "entry->tagged = tagAfterCompare_ && !currentRecord_->incomplete && TaggedByCompare(state, decide_);",
      "entry->tagged = tagAfterCompare_ && TaggedByCompare(state, decide_);"),
    F("cmp-unknown-as-copy", "a file on one side of a folder read in part is classified as a copy",
      "src/engine/decide.cpp",
      "if ((!l && p.localUnread) || (!r && p.remoteUnread)) return StateUnknown;",
      "if (false) return StateUnknown;"),
    F("cmp-tolerance-edge", "times exactly 3 seconds apart count as the same (a compare, and the state rule's "
      "two sides alike)",
      "src/fs/find_data.cpp",
      "if (apart < tolerance) return 0;",
      "if (apart <= tolerance) return 0;"),
    F("cmp-direction", "the newer side is copied over the older one the wrong way",
      "src/engine/decide.cpp",
      "return order > 0 ? CopyLocalToRemote : CopyRemoteToLocal;",
      "return order < 0 ? CopyLocalToRemote : CopyRemoteToLocal;"),
    F("cmp-remote-precision", "a time listed to the minute is compared to the second (files not in step)",
      "src/fs/find_data.cpp",
      "int64_t unit = std::max(PrecisionUnit(pa), PrecisionUnit(pb));",
      "int64_t unit = PrecisionUnit(pa);"),
    # ---- the last synchronised state --------------------------------------
    F("mirror-unread-deleted", "a mirror deletes on its destination a file of a folder whose listing was read in part",
      "src/engine/decide.cpp",
      "if (!(up ? l : r) && (l || r) && !p.localUnread && !p.remoteUnread) return up ? DeleteRemote : DeleteLocal;",
      "if (!(up ? l : r) && (l || r)) return up ? DeleteRemote : DeleteLocal;"),
    F("mirror-newer-kept-tagged", "a file newer on a mirror's destination is tagged, as if to be copied back over the source",
      "src/engine/decide.cpp",
      "if (o.mirror == MirrorPolicy::Up) return cls != CopyRemoteToLocal;",
      "if (o.mirror == MirrorPolicy::Up) return true;"),
    F("state-conflict-by-clock", "a file edited on both sides since the last sync is decided by the newer time",
      "src/engine/decide.cpp",
      "return SidesAlike(*l, *r, o.ignoreSeconds) ? InStep : Conflict;",
      "return SidesAlike(*l, *r, o.ignoreSeconds) ? InStep : ByTimes(l, r, o);"),
    F("state-deletion-undone", "a file deleted locally since the last sync is downloaded back",
      "src/engine/decide.cpp",
      "if (!l) return remoteChanged ? Conflict : DeleteRemote;",
      "if (!l) return remoteChanged ? Conflict : CopyRemoteToLocal;"),
    F("state-one-sided-recorded", "a file on one side only (skipped or untagged) is recorded as in step",
      "src/engine/folder_state.cpp",
      "if (d.cls != InStep || !l || !r) continue;\n    const RecordedPair now{{l->size, l->lastWrite}, {r->size, r->lastWrite}};",
      "if (d.cls == StateUnknown) continue;\n    const FindData* a = l ? l : r;\n    const FindData* b = r ? r : l;\n"
      "    const RecordedPair now{{a->size, a->lastWrite}, {b->size, b->lastWrite}};"),
    F("state-missing-root", "a missing top folder reads as everything deleted where files were synchronised before",
      "src/engine/comparer.cpp",
      "if (stateAny_) {",
      "if (false) {"),
    F("state-case-file-shared", "a file whose name differs only in case from a synchronised one takes its record",
      "src/engine/comparer.cpp",
      "shared = state ? SharedKeys(local, remote, leftOut) : std::set<std::string>();",
      "shared = std::set<std::string>();"),
    F("state-case-folder-shared", "a folder whose name differs only in case from a synchronised one takes its records",
      "src/engine/comparer.cpp",
      "        sharedKeys_ += keyShared;",
      "        sharedKeys_ += 0 * keyShared;"),
    F("state-left-out-deleted", "a link into a disk not mounted reads as a file or folder deleted locally",
      "src/engine/comparer.cpp",
      "  std::set<std::string> shared = leftOut;",
      "  std::set<std::string> shared;"),
    F("state-share-guard-off", "a run deleting most of the recorded files goes ahead",
      "src/core/controller.cpp",
      "if (deletions * 100 <= static_cast<long>(maxShare) * base) continue;",
      "if (true) continue;"),
    F("state-share-guard-diluted", "files new since the last sync dilute the guard's share (taken of the files listed now)",
      "src/core/controller.cpp",
      "auto baseOf = [recorded](long listed) { return recorded > 0 ? recorded : listed; };",
      "auto baseOf = [recorded](long listed) { return std::max(recorded, listed); };"),
    F("state-share-guard-one-side", "deletions here go unguarded when those on the server are within the share",
      "src/core/controller.cpp",
      "std::tuple{check.local, check.localBase, \"here\"}",
      "std::tuple{0L, check.localBase, \"here\"}"),
    F("state-left-deletions-silent", "a one-way run leaving deletions of the other direction exits 0",
      "src/cli/run.cpp",
      "ReportUnsettled(Unsettled(collection, o, local), notes) + ReportLeftDeletions(collection, options, notes);",
      "ReportUnsettled(Unsettled(collection, o, local), notes) + 0 * ReportLeftDeletions(collection, options, notes);"),
    F("state-side-compare-tolerance", "a side's change since its record is judged with the compare's minute and "
      "3 seconds (a same-size edit within them is missed)",
      "src/engine/state_rules.cpp",
      "then.time, now.precision, TimeScope::SameSide) != 0;",
      "then.time, now.precision, TimeScope::SidesToTheMinute) != 0;"),
    F("state-side-other-precision", "a side judged at the other side's precision (the local disk read to a LIST "
      "server's minute)",
      "src/engine/state_rules.cpp",
      "CompareFileTimes(now.lastWrite, now.precision, then.time, now.precision,",
      "CompareFileTimes(now.lastWrite, now.precision, then.time, TimePrecision::Minutes,"),
    F("state-delete-changed", "a file changed since the compare is deleted (a sync's or Delete Selected Files')",
      "src/transfer/transfer_delete.cpp",
      "if (now.IsDirectory() || SideChanged(now, {listed.size, listed.lastWrite})) {",
      "if (now.IsDirectory()) {"),
    F("state-place-by-name", "a stored connection's name keys the records: two names for one place keep two",
      "src/core/controller.cpp",
      "store_->Pair(place_, localRoot_, remoteRoot_, true, {options.connectionName, formerPlace_});",
      "store_->Pair(options.connectionName.empty() ? place_ : options.connectionName, localRoot_, remoteRoot_, true);"),
    F("state-unchecked-open", "a damaged state file is opened unchecked",
      "src/core/sync_state.cpp",
      "if (ok && check && app == kApplicationId) ok = Check();",
      "if (false) ok = Check();"),
    F("state-readable", "the sync state (which names every file of yours) is readable by other accounts",
      "src/core/sync_state.cpp",
      'for (const char* end : {"", "-wal", "-shm", "-journal"}) KeepPrivate(file + end, 0600);',
      'for (const char* end : {"", "-wal", "-shm", "-journal"}) KeepPrivate(file + end, 0644);'),
    F("state-damaged-count-empty", "records that cannot be counted read as none (a first run: deletions copied back)",
      "src/core/sync_state.cpp",
      'return rc == SQLITE_ROW ? s.Column(0) : (ReadFailed(rc, "cannot count the records"), -1);',
      "return rc == SQLITE_ROW ? s.Column(0) : 0;"),
    F("state-damaged-folder-empty", "a folder's records cut short by a read error read as the folder's records",
      "src/core/sync_state.cpp",
      'if (ReadFailed(rc, "cannot read the records")) out.clear();',
      "if (false) out.clear();"),
    F("state-unwritable-unsaid", "a state folder that cannot be written is taken for a file of another program",
      "src/core/sync_state.cpp",
      "const bool folderOk = access(folder.c_str(), W_OK) == 0;",
      "const bool folderOk = true;"),
    F("state-pair-unlocked", "two runs on one folder pair at once interleave their copies and deletions",
      "src/core/controller.cpp",
      "if (std::string why; !pairLock_.Take(",
      "if (std::string why; false && !pairLock_.Take("),
    F("link-delete-through", "a deletion (a sync's, a mirror's) goes through a link, to the files it leads to",
      "src/transfer/transfer.cpp",
      "if (DeletesThroughLink(record, e)) return false;",
      "if (false) return false;"),
    F("link-remote-unmarked", "a folder that is a link on the server is not marked: its files are deleted through it",
      "src/engine/comparer.cpp",
      "made->remoteThroughLink = parent->remoteThroughLink || (remote && remote->link);",
      "made->remoteThroughLink = parent->remoteThroughLink;"),
    F("link-delete-by-hand", "Delete Selected Files deletes a local file through a link to a folder elsewhere",
      "src/transfer/transfer_delete.cpp",
      "const bool localBarred = deleteLocal && record.localThroughLink;",
      "const bool localBarred = false;"),
    F("link-emptied-removed", "a mirror removes an emptied folder below a link (outside the top folder)",
      "src/transfer/transfer_delete.cpp",
      "!(remoteSide ? options_.localToRemote : options_.remoteToLocal) || r.ThroughLink(remoteSide))",
      "!(remoteSide ? options_.localToRemote : options_.remoteToLocal))"),
    F("link-alias-unmarked", "a link a server lists as a folder (pyftpdlib) is not told by its twin: deleted through",
      "src/engine/comparer.cpp",
      "  if (metBefore) {",
      "  if (false) {"),
    F("link-loop-second", "a link loop met through a second link is walked until the path breaks",
      "src/engine/comparer.cpp",
      "                                     ? remote->linkTarget\n",
      "                                     ? real + remoteName\n"),
    F("link-ftp-pwd-apart", "an FTP link to a folder is taken for wherever libcurl went back to (\"/\"): not walked",
      "src/net/curl_ftp_links.cpp",
      'if (Quote({"CWD " + path, "PWD"})) {',
      'if (Quote({"CWD " + path}) && Quote({"PWD"})) {'),
    F("link-dangling-replaced", "a local link that leads nowhere is replaced by a download of its name",
      "src/fs/local_fs.cpp",
      "if (lstat(p.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {",
      "if (false) {"),
    # ---- transfer ---------------------------------------------------------
    F("xfer-incomplete-copied", "files of a folder that could not be read whole are copied",
      "src/transfer/transfer.cpp",
      "return !record.UnderIncomplete() && Selected(e, o);",
      "return Selected(e, o);"),
    F("xfer-appeared-replaced", "a file that appeared since the compare is replaced by a copy's rename",
      "src/transfer/transfer_copy.cpp",
      "    if (!there) return true;\n    if (now.link) {\n",
      "    return true;\n    if (now.link) {\n"),
    F("xfer-recheck-skipped", "a copy takes the place of a destination changed or made since the compare",
      "src/transfer/transfer_copy.cpp",
      "  if (!StillAsCompared(e, item, outcome)) {\n    outcome.warning.clear();\n    RemoveLeftover(e.dst, tmp);",
      "  if (false) {\n    outcome.warning.clear();\n    RemoveLeftover(e.dst, tmp);"),
    F("xfer-temp-readable", "a file being written (a copy's temporary) is readable by others until it is renamed",
      "src/fs/local_fs.cpp",
      "O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);",
      "O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);"),
    F("xfer-sftp-temp-readable", "an upload's temporary file is readable by others on the server until it is renamed",
      "src/net/sftp_extension.cpp",
      "PutU32(request, 0600);",
      "PutU32(request, 0644);"),
    F("xfer-replaced-mode-lost", "a file replaced by a copy loses its mode (a 0600 file on the server becomes 0644)",
      "src/transfer/transfer_copy.cpp",
      "if (e.old && e.old->mode != kNoMode) mode = e.old->mode;",
      "if (e.old && e.old->mode == kNoMode) mode = e.old->mode;"),
    F("sftp-batch-temp-readable", "a small upload's temporary file, written in a batch, is readable by others",
      "src/net/sftp_extension.cpp",
      "PutU32(r, 0600);",
      "PutU32(r, 0644);"),
    F("sftp-batch-temp-not-new", "a batch's temporary file writes over a file already there instead of being new",
      "src/net/sftp_extension.cpp",
      "    PutU32(r, kWriteCreateNew);",
      "    PutU32(r, 0x02 | 0x08 | 0x10);"),
    F("xfer-batch-replaces-unseen", "a small upload replaces a server file changed since the compare",
      "src/transfer/transfer_batch.cpp",
      "if (!StillAsCompared(e, item, outcome, true)) {",
      "if (false) {"),
    F("xfer-batch-mode-lost", "small uploads stay private (0600): no replaced file's mode, no default, is given",
      "src/transfer/transfer_batch.cpp",
      "if (caps.modes) f.mode = ModeFor(e);",
      "if (!caps.modes) f.mode = ModeFor(e);"),
    F("xfer-batch-time-unchecked", "a time the server would not set on a small upload passes for set (no warning)",
      "src/net/sftp_fs_batch.cpp",
      "if (!(f.timeSet = status == 0))",
      "if (!(f.timeSet = true))"),
    F("xfer-batch-time-wraps", "a small upload's time beyond what SFTP carries is sent wrapped",
      "src/net/sftp_fs_batch.cpp",
      "if (ok && f.time && !Capabilities().HoldsTime(*f.time))",
      "if (ok && f.time && false)"),
    F("xfer-batch-refusal-spreads", "one small upload refused fails its whole batch (a login again, removals of nothing)",
      "src/net/sftp_fs_batch.cpp",
      'files[i].error = Refusal("Cannot create " + files[i].path, reply.status != 0 ? reply.status : SSH_FX_FAILURE);',
      'return BatchBroke(files, "Cannot create " + files[i].path);'),
    F("xfer-batch-temp-left", "a small upload stopped by the check leaves its temporary file on the server",
      "src/transfer/transfer_batch.cpp",
      "outcome.warning.clear();\n      RemoveLeftover(remote, tmp);",
      "outcome.warning.clear();"),
    F("store-under-way-newer", "a server file a direct store killed midway left is taken for newer and copied down",
      "src/engine/decide.cpp",
      "if (!r || r->size <= record->local.size) return l ? CopyLocalToRemote : Conflict;",
      "if (!r) return l ? CopyLocalToRemote : Conflict;"),
    F("store-mark-overrides-others", "a larger file someone else put where a killed direct store was is overwritten",
      "src/engine/decide.cpp",
      "if (!r || r->size <= record->local.size) return l ? CopyLocalToRemote : Conflict;",
      "return l ? CopyLocalToRemote : Conflict;"),
    F("store-unmarked", "a new file is stored directly without its mark in the sync state",
      "src/transfer/transfer_copy.cpp",
      "if (!recorder_->StoreBegins(*item.record, local)) return true;",
      "if (!local) return true;"),
    F("store-partial-kept", "what a stopped direct store left on the server stays, its mark taken back",
      "src/transfer/transfer_copy.cpp",
      "if (there && !RemoveLeftover(e.dst, e.dstPath)) {",
      "if (false) {"),
    F("sftp-read-ahead-unused", "small downloads read ahead together are read again one by one (three round trips each)",
      "src/net/sftp_fs.cpp",
      "  if (offset == 0)\n    if (const std::optional<bool> served = TakePrefetched(path, sink)) return *served;\n",
      ""),
    F("sftp-listing-uncapped", "an SFTP folder's entries are read without bound",
      "src/net/sftp_fs.cpp",
      "return bytes > listingCap;",
      "return false;"),
    F("xfer-changed-replaced", "a copy replaces a destination edited since the compare",
      "src/transfer/transfer_copy.cpp",
      "} else if (now.IsDirectory() || SideChanged(now, {e.old->size, e.old->lastWrite})) {",
      "} else if (now.IsDirectory()) {"),
    F("xfer-recheck-link-asked-apart", "the re-check asks after a server link by itself (MLST tells the link, not "
      "what it leads to): an unchanged file is refused",
      "src/transfer/transfer_copy.cpp",
      "if (!listed && (item.down || (e.old && !e.old->link))) {",
      "if (!listed && (item.down || e.old)) {"),
    F("xfer-record-in-step-only", "an upload whose time did not stick is not recorded (the next run copies back)",
      "src/transfer/transfer.cpp",
      "      entry->Reclassify(options_.ignoreSeconds);\n      if (outcome.ok && listed && it != listing.end())",
      "      if (entry->Reclassify(options_.ignoreSeconds) == InStep && outcome.ok)"),
    F("xfer-time-not-kept-silent", "a time the server took but ignored passes without a warning",
      "src/transfer/transfer_copy.cpp",
      "  if (!set || !SideChanged(now, {now.size, time})) return;",
      "  if (!set || true) return;"),
    F("state-unchanged-by-times", "a pair unchanged since its record is classed by its times (a copy whose time did "
      "not stick is copied back)",
      "src/engine/decide.cpp",
      "  // the time it was given).\n  return InStep;\n",
      "  // the time it was given).\n  return std::nullopt;\n"),
    F("sftp-time-wraps", "a time outside SFTP's 32-bit range is sent and wraps (1965 becomes 2101)",
      "src/net/sftp_fs.cpp",
      "  if (!Capabilities().HoldsTime(ticks)) {\n    failure_ = SshFailure::Refused;",
      "  if (false) {\n    failure_ = SshFailure::Refused;"),
    F("cmp-out-of-range-wins", "a local time the server cannot hold (2110 over SFTP) makes the local copy newer",
      "src/engine/decide.cpp",
      "  if (order > 0 && localOut && !remoteOut) return CopyRemoteToLocal;\n",
      ""),
    F("down-short-accepted", "a download shorter than the listed size is accepted",
      "src/transfer/transfer_copy.cpp",
      "if (e.sizeKnown && received == e.size) return true;",
      "if (e.sizeKnown) return true;"),
    F("down-rename-incomplete", "a copy that failed its size check is renamed over the destination",
      "src/transfer/transfer_copy.cpp",
      "  if (!SourceComplete(e, item, outcome)) {\n    e.dst.Remove(tmp);\n    return false;\n  }\n",
      "  SourceComplete(e, item, outcome);\n"),
    F("down-time-on-old", "a download's time is set on the old file, not on the new copy",
      "src/transfer/transfer_copy.cpp",
      "  SetTimeOf(e, item, tmp, outcome);\n",
      "  SetTimeOf(e, item, e.dstPath, outcome);\n"),
    F("down-temp-left", "a failed or cancelled copy of a small file leaves its temporary file",
      "src/transfer/transfer_copy.cpp",
      "    if (!item.partKept) RemoveLeftover(e.dst, tmp);\n",
      "\n"),
    F("resume-kept-on-refusal", "a large copy refused (not broken) leaves its temporary file",
      "src/transfer/transfer_copy.cpp",
      "item.partKept = resumable && broke();",
      "item.partKept = resumable;"),
    F("up-size-skipped", "an upload the server holds in part is renamed into place",
      "src/transfer/transfer_copy.cpp",
      "if (!(told || HeldSize(e.dst, tmp, stored)) || stored != item.sent) {",
      "if (!(told || HeldSize(e.dst, tmp, stored))) {"),
    F("up-temp-left", "an upload the server holds in part leaves its temporary file there",
      "src/transfer/transfer_copy.cpp",
      "the old version was kept\" : \"\");\n    e.dst.Remove(tmp);\n",
      "the old version was kept\" : \"\");\n"),
    F("up-time-on-local-path", "an upload's time is set on the local file's path, not on the server's copy",
      "src/transfer/transfer_copy.cpp",
      "} else if (!e.dst.SetTime(path, e.time)) {",
      "} else if (!e.dst.SetTime(e.srcPath, e.time)) {"),
    F("up-direct-leftover-kept", "a broken direct store over an existing file is kept (it looks newer)",
      "src/transfer/transfer_copy.cpp",
      "if (there && (!e.old || now.size != e.old->size || now.lastWrite != e.old->lastWrite)) {",
      "if (there && !e.old) {"),
    F("up-abort-ignored", "Cancel (or Ctrl-C) lets the copies under way run to their end",
      "src/transfer/transfer.h",
      "    abort_.store(true);\n    stop_.store(true);\n",
      "    stop_.store(true);\n"),
    F("stale-sweep-dry-run", "sync --dry-run removes stale temporary files",
      "src/cli/run.cpp",
      "compare.removeStaleTemps = sync && !o.dryRun;",
      "compare.removeStaleTemps = sync;"),
    F("stale-sweep-young", "a temporary file younger than a day (a copy under way) is swept",
      "src/engine/stale_temps.cpp",
      "resumable.count(FoldedName(fd.name)) || fd.lastWrite >= cutoff) {",
      "resumable.count(FoldedName(fd.name))) {"),
    F("resume-swept", "a broken copy of a source still as it was is swept as stale instead of continued",
      "src/engine/stale_temps.cpp",
      "if (!other || resumable.count(FoldedName(fd.name)) || fd.lastWrite",
      "if (!other || fd.lastWrite"),
    F("resume-source-changed", "a temporary file begun from another version of the source (another time) is continued",
      "src/fs/patterns.cpp",
      "for (uint64_t v : {size, static_cast<uint64_t>(time)})",
      "for (uint64_t v : {size})"),
    F("resume-not-private", "a temporary file that is not private (perhaps not ours) is continued",
      "src/fs/local_fs.cpp",
      "st.st_uid == geteuid() && (st.st_mode & 07777) == 0600 &&",
      "st.st_uid == geteuid() &&"),
    # ---- server clock -----------------------------------------------------
    F("clock-list-sign", "the server's offset is added to listed times instead of taken off",
      "src/net/curl_ftp_clock.cpp",
      "if (fd.precision == TimePrecision::Minutes) fd.lastWrite -= offset;",
      "if (fd.precision == TimePrecision::Minutes) fd.lastWrite += offset;"),
    F("clock-mdtm-sign", "the MDTM zone is added to the server's times instead of taken off",
      "src/net/curl_ftp.cpp",
      "ticks -= clock_->MdtmOffset();",
      "ticks += clock_->MdtmOffset();"),
    F("clock-set-sign", "a time set with the two-argument MDTM is shifted the wrong way",
      "src/net/curl_ftp.cpp",
      "TimeArgument(ticks + clock_->MdtmOffset())",
      "TimeArgument(ticks - clock_->MdtmOffset())"),
    F("clock-parse-sign", "--server-offset -08:00 is read as +08:00",
      "src/fs/place.cpp",
      "sign = t.front() == '-' ? -1 : 1;",
      "sign = t.front() == '+' ? -1 : 1;"),
    # ---- deletion ---------------------------------------------------------
    F("delete-incomplete", "files are deleted in a folder that could not be read whole",
      "src/transfer/transfer_delete.cpp",
      "    if (record.incomplete) {\n      counts.failed",
      "    if (record.incomplete && entries.empty()) {\n      counts.failed"),
    # ---- exclusions -------------------------------------------------------
    F("exclude-record-read-as-deleted", "a recorded file left out by the exclusions is read as gone, its record dropped",
      "src/engine/comparer.cpp", "  records.Keep(excluded);\n", "\n"),
    F("exclude-folder-records-dropped", "the records below a folder left out are dropped as if it were gone",
      "src/core/state_session.cpp", "if (!walked.count(folder) && !left(folder))", "if (!walked.count(folder))"),
    F("exclude-folders-only-ignored", "a pattern ending in \"/\" leaves out files of that name too",
      "src/fs/patterns.cpp", "    if (rule.foldersOnly && !folder) continue;\n", "\n"),
    # ---- window -----------------------------------------------------------
    F("remote-browser-empty-path", "OK in the remote browser with nothing selected puts an empty path (the login folder) while \"/\" is shown",
      "src/ui/dialogs/remote_folder_dlg.cpp",
      "return selected.isEmpty() ? pathLabel_->Text() : ItemPath(selected.first());",
      "return selected.isEmpty() ? QString() : ItemPath(selected.first());"),
    F("drop-text-inserted", "text dropped on a path box goes into the edit field, inserted into the old path",
      "src/widgets/history_combo.cpp",
      "  lineEdit()->installEventFilter(this);\n",
      ""),
    F("caption-pixel-ratio", "the caption made at twice the pixels without its ratio draws the title at half size",
      "src/widgets/caption_painter.cpp",
      "  img.setDevicePixelRatio(ratio);\n",
      ""),
    F("divider-not-restored", "the divider's stored place is not taken back at the next start",
      "src/ui/view/twinbay_view.cpp",
      "settings_.m_nListWidth > 0 ? static_cast<int>(settings_.m_nListWidth) : total / 2;",
      "total / 2;"),
    F("progress-last-started", "with copies in parallel the File line shows the last file started, at 100 %, while a larger one copies",
      "src/transfer/transfer.cpp",
      "  if (largest) {\n",
      "  if (largest && copying_.size() > 1) {\n"),
    F("second-copy-own-window", "a second start opens a window of its own while the first runs",
      "src/shell/single_copy.cpp",
      "  if (!lock_.tryLock(100)) {\n",
      "  if (false) {\n"),
    F("support-mail-target", "the Technical Support page's address opens as a web address, not in the mail program",
      "src/ui/dialogs/about_pages.cpp",
      "new CHyperLink(SupportEmail(), \"mailto:\" + SupportEmail());",
      "new CHyperLink(SupportEmail(), SupportEmail());"),
    F("state-open-on-callers-thread", "the window waits (up to 10 s) for the state's database while another program writes it",
      "src/core/controller.cpp",
      "  if (!PrepareCompare(options, problem)) return false;\n  try {",
      "  if (!PrepareCompare(options, problem) || !BeginWalk(listener, problem)) return false;\n  try {"),
    F("state-wait-unstoppable", "Stop does not end a compare's wait for the state's database (10 s)",
      "src/core/sync_state.cpp",
      "if (tries >= 500 || (stop && stop->load())) return 0;",
      "if (tries >= 500) return 0;"),
    F("free-space-stale-answer", "an older free-space answer arriving late replaces the newer one",
      "src/core/free_space.cpp",
      "if (!shared->pending && shared->answer)",
      "if (shared->answer)"),
    # ---- connections file -------------------------------------------------
    F("conn-tls-unknown-plain", "a TLS mode this version does not know is used as plain FTP",
      "src/fs/place.cpp",
      "if (word < 0 || word > 2) return false;",
      "if (word < 0 || word > 2) word = 0;"),
    F("conn-keyring-password-in-file", "a password the desktop keyring took is still written scrambled into the file",
      "src/core/connections.cpp",
      "w.Str(ScrambleText(PasswordInKeyring(c) ? std::string() : c.password));",
      "w.Str(ScrambleText(c.password));"),
    F("conn-keyring-failure-empty", "a password the desktop keyring cannot give is taken as an empty password",
      "src/core/keyring.cpp",
      "  if (!a.ok()) {\n    error = \"The password of",
      "  if (!a.ok() && false) {\n    error = \"The password of"),
    F("conn-save-whole-list", "a save writes this program's list whole: a record another program added meanwhile is lost",
      "src/core/connections.cpp",
      "const std::string bytes = SerializeConnections(merged);",
      "const std::string bytes = SerializeConnections(records_);"),
    F("conn-save-whole-record", "a save writes a record it changed whole: a pin another program set on it meanwhile is lost",
      "src/core/connections_merge.cpp",
      "Changes(*records_[i], known_[k].as, file[match[k]].get());",
      "*file[match[k]] = *records_[i];"),
    F("conn-settings-other-program-lost", "a save writes the settings file from its own list: an exclusion or backup folder another program stored meanwhile is lost",
      "src/core/connections.cpp",
      "const SettingsRead settingsNow = ReadConnectionSettings(fileName_, fileBytes, file, result.error);",
      "const SettingsRead settingsNow = SettingsRead::Matches;"),
    F("conn-settings-damaged-overwritten", "a settings file that cannot be read is written over, its exclusions lost",
      "src/core/connections.cpp",
      "if (settingsNow == SettingsRead::Damaged) {",
      "if (false) {"),
    F("conn-settings-bad-pattern-taken", "the Connection dialog stores a pattern that cannot be used (every later compare fails)",
      "src/ui/dialogs/connection_dlgs.cpp",
      "if (!exclusions.AddLines(exclude_->toPlainText().toStdString(), why)) {",
      "if (false) {"),
    F("conn-settings-cli-exclusions-unused", "twinbay-cli --connection copies and deletes what the stored connection leaves out",
      "src/cli/remote.cpp",
      "o.exclude = c->exclude + \"\\n\" + o.exclude;",
      "o.exclude += \"\\n\";"),
    F("conn-settings-cli-backup-unused", "twinbay-cli --connection destroys server files although the stored connection names a backup folder",
      "src/cli/remote.cpp",
      "if (o.backupDir.empty()) o.backupDir = c->backupDir;",
      "if (o.backupDir.empty()) o.backupDir = \"\";"),
    F("conn-settings-cli-damaged-used", "twinbay-cli runs a stored connection whose settings file cannot be read, without its exclusions",
      "src/cli/remote.cpp",
      "if (!list.SettingsProblem().empty()) Fail(list.SettingsProblem());",
      "(void)list.SettingsProblem();"),
    F("conn-settings-cli-pattern-unchecked", "a stored pattern that cannot be used is found only after the connect, as an unclear failure",
      "src/cli/remote.cpp",
      "if (!check.AddLines(c->exclude, why))",
      "if (false)"),
    F("conn-settings-window-exclusions-unused", "the window copies and deletes what the stored connection leaves out",
      "src/ui/view/twinbay_view.cpp",
      "    options.exclude = current_->exclude;\n",
      "\n"),
    F("conn-settings-window-backup-unused", "the window's sync destroys server files although the stored connection names a backup folder",
      "src/ui/view/twinbay_view.cpp",
      "  o.backupDir = pendingCompare_.backupDir;",
      "  o.backupDir.clear();"),
    # ---- TLS --------------------------------------------------------------
    F("tls-pin-ignored", "a pinned connection accepts any certificate",
      "src/net/ftp_tls.cpp",
      "if (!fingerprint.empty() && fingerprint == self->pin_) {",
      "if (!fingerprint.empty()) {"),
    F("tls-host-unchecked", "a trusted certificate issued for another host name is accepted",
      "src/net/curl_ftp_tls.cpp",
      "CURLOPT_SSL_VERIFYHOST, pinned ? 0L : 2L);",
      "CURLOPT_SSL_VERIFYHOST, 0L);"),
    F("tls-plain-fallback", "explicit TLS falls back to plain FTP when the server refuses AUTH TLS",
      "src/net/curl_ftp_tls.cpp",
      "static_cast<long>(CURLUSESSL_ALL)",
      "static_cast<long>(CURLUSESSL_TRY)"),
    # ---- sign-in ----------------------------------------------------------
    F("ssh-key-not-kept", "every login of an SFTP pool reads the key file again, asking for its passphrase each time",
      "src/net/ssh_auth.cpp",
      "if (keys.key && keys.file != settings.keyFile) {",
      "if (keys.key) {"),
    F("passphrase-given-twice", "a passphrase typed in the window stays in memory, handed to every sign-in that asks",
      "src/core/connect_policy.cpp",
      "    held->given = true;\n",
      ""),
    F("passphrase-lost-on-retry", "after trusting an unknown host key the key's passphrase is gone and a password is asked for",
      "src/ui/view/twinbay_view_connect.cpp",
      "    target.askPassphrase = passphrase_;\n",
      "    target.askPassphrase = std::exchange(passphrase_, nullptr);\n"),
    F("trust-changed-host-key", "a changed SFTP host key is offered for trust like an unknown one",
      "src/core/connect_policy.cpp",
      "    case OpenFailureKind::UnknownHostKey: return",
      "    case OpenFailureKind::ChangedHostKey:\n    case OpenFailureKind::UnknownHostKey: return"),
    # ---- command line -----------------------------------------------------
    F("cli-compare-exit-incomplete", "compare exits 0 or 1 although a folder could not be read whole",
      "src/cli/run.cpp",
      "  if (ReportIncomplete(collection, local, &alone) > 0) return kExitError;\n  SyncTotals t;",
      "  ReportIncomplete(collection, local, &alone);\n  SyncTotals t;"),
    F("cli-sync-exit-incomplete", "sync exits 0 although a folder could not be read whole",
      "src/cli/run.cpp",
      "  if (ReportIncomplete(collection, local, &alone) > 0) return kExitError;\n  return failed == 0",
      "  ReportIncomplete(collection, local, &alone);\n  return failed == 0"),
    F("cli-sync-exit-left-alone", "sync exits 0 although a name one side cannot take was left alone (not synchronised)",
      "src/cli/run.cpp",
      "return failed == 0 && unsettled == 0 && alone == 0 ? kExitOk : kExitDifferences;",
      "return failed == 0 && unsettled == 0 ? kExitOk : kExitDifferences;"),
    F("watch-no-debounce", "sync --watch runs on every batch of events instead of after a quiet second",
      "src/cli/watch.cpp",
      "changed && now - lastChange >= kQuiet ?",
      "changed ?"),
    F("watch-limit-silent", "at the kernel's limit on watches the folders left unwatched go unnamed",
      "src/core/watcher.cpp",
      "if (errno == ENOSPC && !limited_) {",
      "if (errno == ENOSPC && !limited_ && false) {"),
    F("watch-refusal-ends", "a run refused by the deletion guard ends sync --watch",
      "src/cli/run.cpp",
      "  if (!g_watching) Fail(lines);\n",
      "  Fail(lines);\n"),
    F("watch-window-compare-only", "the window's Watch compares after a change but never syncs",
      "src/ui/view/twinbay_view.cpp",
      "  if (watchRun_) SyncAfterWatchCompare();\n",
      ""),
    # Dropped, because no test can tell them from the sound program (each is
    # undone by a second guard that stays in place):
    # - "bool overlap = !cut2;" -> "= true;" in the halves of a cut listing:
    #   the check that the halves are sorted already demands that the first
    #   half ends at or after where the second begins.
    # - "if (n > b_.size() - pos_) return Short();" -> "n > b_.size()" in the
    #   connections file's strings: every string is followed by fixed-size
    #   fields, whose reads fail at the end of the file all the same.
    # - the certificate check returning 1 for a chain that fails
    #   verification: with no pin, libcurl verifies the peer too and refuses
    #   the handshake on the verification result the check leaves set.
    # Room for the faults of what is not built yet: unknown host keys,
    # conflicts copied, recorded one-sided files.
    F("sftp-short-reply-gap", "an SFTP reply shorter than asked leaves a hole (the rest of its range never asked for)",
      "src/net/sftp_fs_read.cpp",
      "if (r.state == Reading::State::Reading && b.size < b.length &&",
      "if (r.state == Reading::State::Reading && false &&"),
    F("sftp-read-ahead-failure-kept", "a small download whose read ahead was refused passes as read (empty)",
      "src/net/sftp_fs_read.cpp",
      "    if (r.state == Reading::State::Ended) prefetched_[r.path] = std::move(r.kept);",
      "    prefetched_[r.path] = std::move(r.kept);"),
    F("resolve-tags-everything", "resolve copies and deletes what the compare found besides the conflicts named",
      "src/cli/resolve.cpp", "  UntagAllFiles(collection);\n", "\n"),
    F("resolve-any-state", "resolve overrides a path that is no conflict (a copy the user did not ask to settle)",
      "src/cli/resolve.cpp", "      if (e.state != Conflict) {", "      if (false) {"),
    F("trash-skipped", "a local file a sync deletes or replaces is destroyed, not put in the trash",
      "src/transfer/transfer_keep.cpp", "    if (!options_.localTrash) return true;", "    if (true) return true;"),
    F("trash-failure-ignored", "a trash that cannot be written lets the sync destroy the file anyway",
      "src/transfer/transfer_keep.cpp", "    return !keptAt.empty();", "    return true;"),
    F("backup-skipped", "a server file a sync deletes or replaces is destroyed although --backup-dir is given",
      "src/transfer/transfer_keep.cpp", "  if (options_.backupDir.empty()) return true;", "  if (true) return true;"),
    F("backup-folder-compared", "the backup folder below the top folder is compared (copied down as new files)",
      "src/engine/comparer.cpp",
      "    if (!remote || remoteLeftOut_.empty() || JoinRemotePath(path, fd.name) != remoteLeftOut_) return false;",
      "    return false;"),
    # ---- contents by hash ---------------------------------------------------
    F("checksum-ignored", "--checksum hashes both files of equal size but the times decide anyway",
      "src/engine/comparer_hash.cpp",
      "pair.content = lh == rh ? PairFacts::Content::Same : PairFacts::Content::Differ;",
      "(void)lh, (void)rh;"),
    F("checksum-differ-in-step", "equal-size files whose contents differ stay in step when their times agree",
      "src/engine/decide.cpp",
      "return lt > rt ? CopyLocalToRemote : lt < rt ? CopyRemoteToLocal : Conflict;",
      "return InStep;"),
    F("verify-skipped", "--verify never checks a copy stored under a temporary name",
      "src/transfer/transfer_copy.cpp",
      "if (options_.verify && !SameContents(e, tmp, outcome)) {",
      "if (false && !SameContents(e, tmp, outcome)) {"),
    F("ftp-hash-kind-unchosen", "an FTP HASH answers in the server's default kind, taken for the kind asked for",
      "src/net/curl_ftp_hash.cpp",
      "if (features_.hashChosen != bit) {",
      "if (false) {"),
    F("sftp-hash-kind-taken", "an SFTP check-file reply in another kind than asked is taken for the kind asked",
      "src/net/sftp_hash_channel.cpp", "  if (got->kind != kind) {", "  if (false) {"),
    F("sftp-hash-short-taken", "an SFTP check-file hash cut short is read as a hash (files then differ or match by chance)",
      "src/net/sftp_hash_channel.cpp",
      "if (readable && used == a.name && digest.size() == a.bytes) got = &a;",
      "if (readable && used == a.name) got = &a;"),
    F("sftp-md5-hash-no-length", "md5-hash is asked for no length: a server that hashes just the bytes given hashes none",
      "src/net/sftp_hash_channel.cpp", "    PutU64(request, size);", "    PutU64(request, 0);"),
    F("sftp-hash-empty-asked", "an empty file's hash is asked of a server that refuses to hash one: compare and verify fail",
      "src/net/sftp_hash_channel.cpp", "  if (size == 0) {", "  if (false) {"),
    F("hash-weaker-kind-unused", "a server that hashes only in a weaker kind than asked never has its files compared",
      "src/engine/comparer_hash.cpp", "    hashKind_ = now;\n", "    return;\n"),
    F("verify-weaker-kind-unused", "a copy to or from a server that hashes only in a weaker kind than asked always fails --verify",
      "src/transfer/transfer_copy.cpp", "    kind = now;\n    ok = hashBoth();", "    ok = false;"),
    F("ftp-quick-listing-end-taken", "a listing the server ended with a refusal (426, the data connection lost "
      "part-way) is taken as whole",
      "src/net/ftp_quick_listing.cpp",
      "refused = code != '2';",
      "refused = false;"),
]

PROGRESS_RE = re.compile(r"^.*\bTest\s+#(\d+): .*$", re.M)
SUMMARY_RE = re.compile(r"^\s*(\d+) - (.*) \([^()]*\)\s*$", re.M)


def die(msg):
    print("mutants: " + msg, file=sys.stderr)
    sys.exit(2)


class Stop(Exception):
    pass


def on_signal(signum, _frame):
    raise Stop(signal.Signals(signum).name)


def run(cmd, log, cwd=None):
    """Runs a command in its own process group, appending its output to log;
    on any interruption the whole group (ctest, its tests and their servers)
    is ended."""
    with open(log, "a") as out:
        out.write("$ " + " ".join(cmd) + "\n")
        out.flush()
        p = subprocess.Popen(cmd, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            return p.wait()
        except BaseException:
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(p.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    p.wait(timeout=5)
                    break
                except subprocess.TimeoutExpired:
                    pass
            raise


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    # A fresh modification time: ninja rebuilds what depends on it.
    with open(path, "wb") as f:
        f.write(data)


def check_faults(root, faults):
    bad = []
    for f in faults:
        path = os.path.join(root, f.file)
        if not os.path.isfile(path):
            bad.append(f"{f.id}: {f.file} does not exist")
            continue
        n = read(path).count(f.find.encode())
        if n != 1:
            # Where the snippet went when code moved between files.
            elsewhere = [os.path.relpath(os.path.join(d, name), root)
                         for top in ("src",) for d, _, names in os.walk(os.path.join(root, top))
                         for name in names if os.path.join(d, name) != path
                         and f.find.encode() in read(os.path.join(d, name))]
            bad.append(f"{f.id}: its snippet occurs {n} times in {f.file} (must be exactly once)" +
                       (f"; it is in {', '.join(sorted(elsewhere))}" if elsewhere else ""))
    ids = [f.id for f in faults]
    bad += [f"{i}: the id is used twice" for i in sorted({i for i in ids if ids.count(i) > 1})]
    if bad:
        die("the fault list does not match the source:\n  " + "\n  ".join(bad))


def sync_tree(checkout, tree):
    """Copies the checkout's files (tracked, and new ones not ignored) into the
    scratch tree; files whose content is the same keep their times, so the
    build stays incremental."""
    names = subprocess.run(["git", "-C", checkout, "ls-files", "-z", "-co", "--exclude-standard"],
                           check=True, capture_output=True).stdout.split(b"\0")
    for name in filter(None, names):
        src = os.path.join(checkout, os.fsdecode(name))
        dst = os.path.join(tree, os.fsdecode(name))
        if os.path.islink(src) or not os.path.isfile(src):
            continue
        data = read(src)
        if os.path.isfile(dst) and read(dst) == data:
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        write(dst, data)
        os.chmod(dst, os.stat(src).st_mode & 0o777)


def ctest_result(log_text):
    """The names of the tests that did not pass, in the order they ended
    (a value-parameterized test without its "# GetParam() = ..." tail)."""
    names = {}
    for m in SUMMARY_RE.finditer(log_text):
        names[m.group(1)] = m.group(2).split("  # GetParam()")[0].strip()
    failed = []
    for m in PROGRESS_RE.finditer(log_text):
        name = names.get(m.group(1))
        if "***" in m.group(0) and name and name not in failed:
            failed.append(name)
    for name in names.values():  # whatever the progress lines did not show
        if name not in failed:
            failed.append(name)
    return failed


def main():
    ap = argparse.ArgumentParser(description="Applies deliberate faults one at a time and runs the test suite.")
    ap.add_argument("--only", help="comma-separated fault ids")
    ap.add_argument("--list", action="store_true", help="list the faults (after checking them) and stop")
    ap.add_argument("--workdir", default=os.environ.get("TWINBAY_MUTANTS_DIR",
                                                        os.path.join(os.environ.get("TMPDIR", "/tmp"),
                                                                     "twinbay-mutants")))
    ap.add_argument("--timeout", type=int, default=120, help="seconds per test (default 120)")
    ap.add_argument("--jobs", type=int, default=2, help="build and test jobs (default 2)")
    ap.add_argument("--no-baseline", action="store_true", help="do not run the unchanged suite first")
    ap.add_argument("--tests", help="run only the tests matching this ctest regular expression (-R)")
    args = ap.parse_args()

    checkout = subprocess.run(["git", "rev-parse", "--show-toplevel"], check=True, capture_output=True,
                              text=True, cwd=os.path.dirname(os.path.abspath(__file__))).stdout.strip()
    faults = FAULTS
    if args.only:
        wanted = [w for w in args.only.split(",") if w]
        known = {f.id for f in FAULTS}
        unknown = [w for w in wanted if w not in known]
        if unknown:
            die("no such fault: " + ", ".join(unknown))
        faults = [f for f in FAULTS if f.id in wanted]
    check_faults(checkout, faults)
    # Run the faults of one file one after another: putting a file back and
    # breaking it again then costs one compile.
    order = list(dict.fromkeys(f.file for f in faults))
    faults = sorted(faults, key=lambda f: order.index(f.file))
    if args.list:
        width = max(len(f.id) for f in faults)
        for f in faults:
            print(f"{f.id:<{width}}  {f.file:<28}  {f.promise}")
        print(f"{len(faults)} faults")
        return 0

    work = os.path.abspath(args.workdir)
    if os.path.realpath(work).startswith(os.path.realpath(checkout) + os.sep) or \
            os.path.realpath(work) == os.path.realpath(checkout):
        die("the work folder must lie outside the checkout")
    tree, build, logs = (os.path.join(work, d) for d in ("tree", "build", "logs"))
    os.makedirs(tree, exist_ok=True)
    os.makedirs(logs, exist_ok=True)
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    start = time.monotonic()
    ctest = ["ctest", "-j", str(args.jobs), "--timeout", str(args.timeout), "--output-on-failure",
             "--stop-on-failure"]
    if args.tests:
        ctest[1:1] = ["-R", args.tests]
    ninja = ["ninja", "-C", build, "-j", str(args.jobs)]
    results = []
    applied = None  # (path, original bytes) while a fault is in the tree
    try:
        sync_tree(checkout, tree)
        check_faults(tree, faults)
        setup_log = os.path.join(logs, "baseline.log")
        open(setup_log, "w").close()
        print(f"mutants: scratch tree {tree}, logs in {logs}", flush=True)
        if not os.path.exists(os.path.join(build, "build.ninja")):
            if run(["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DTWINBAY_BENCH=OFF",
                    "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"], setup_log) != 0:
                die("cmake failed; see " + setup_log)
        if run(ninja, setup_log) != 0:
            die("the unchanged tree does not build; see " + setup_log)
        if not args.no_baseline:
            print("mutants: running the unchanged suite first", flush=True)
            t0 = time.monotonic()
            if run(ctest[:-1], setup_log, cwd=build) != 0:
                die("the unchanged suite fails (" + ", ".join(ctest_result(open(setup_log).read())) +
                    "); see " + setup_log)
            print(f"mutants: unchanged suite passed in {time.monotonic() - t0:.0f} s", flush=True)
        for n, f in enumerate(faults, 1):
            log = os.path.join(logs, f.id + ".log")
            open(log, "w").close()
            path = os.path.join(tree, f.file)
            original = read(path)
            applied = (path, original)
            write(path, original.replace(f.find.encode(), f.replace.encode(), 1))
            t0 = time.monotonic()
            if run(ninja, log) != 0:
                outcome, first = "did not build", ""
            else:
                rc = run(ctest, log, cwd=build)
                failed = ctest_result(open(log, errors="replace").read())
                if rc != 0:
                    outcome, first = "caught", failed[0] if failed else "(ctest failed)"
                else:
                    outcome, first = "missed", ""
            write(path, original)
            applied = None
            results.append((f, outcome, first))
            print(f"[{n}/{len(faults)}] {f.id}: {outcome} {first} ({time.monotonic() - t0:.0f} s)", flush=True)
    except Stop as e:
        print(f"mutants: stopped by {e}; the scratch tree is put back", file=sys.stderr)
    finally:
        if applied:
            write(*applied)
    signal.signal(signal.SIGINT, signal.SIG_DFL)

    if results:
        w = max(len(f.id) for f, _, _ in results)
        print()
        print(f"{'fault':<{w}}  {'result':<13}  first failing test")
        for f, outcome, first in results:
            print(f"{f.id:<{w}}  {outcome:<13}  {first}")
        counts = {k: sum(1 for _, o, _ in results if o == k) for k in ("caught", "missed", "did not build")}
        print(f"\n{len(results)} faults: {counts['caught']} caught, {counts['missed']} missed, "
              f"{counts['did not build']} did not build; {time.monotonic() - start:.0f} s")
        missed = [f for f, o, _ in results if o != "caught"]
        for f in missed:
            print(f"  {f.id}: {f.promise}")
        with open(os.path.join(work, "results.tsv"), "w") as out:
            for f, outcome, first in results:
                out.write(f"{f.id}\t{outcome}\t{first}\n")
        return 0 if len(results) == len(faults) and not missed else 1
    return 1


if __name__ == "__main__":
    sys.exit(main())
