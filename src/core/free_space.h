// The free space of the file system that holds a local folder, measured on a
// thread of its own: statvfs on a network mount whose server is gone can
// hang for minutes, and the window's thread must never wait for it.
#pragma once

#include <sys/statvfs.h>

#include <functional>
#include <memory>
#include <string>

namespace twinbay {

class FreeSpaceQuery {
 public:
  // statvfs, or a stand-in (tests).
  using Measure = std::function<int(const char* path, struct statvfs* st)>;
  // Hears an answer on the query's thread (it must not wait for another
  // thread): the bytes free for an ordinary user, or `known` false when no
  // folder on the path could be measured.
  using Answer = std::function<void(bool known, double bytes)>;
  explicit FreeSpaceQuery(Answer answer, Measure measure = ::statvfs);
  // No answer is heard once this returns. A measurement that still hangs
  // ends on its own later; its thread holds only what the two share.
  ~FreeSpaceQuery();
  FreeSpaceQuery(const FreeSpaceQuery&) = delete;
  FreeSpaceQuery& operator=(const FreeSpaceQuery&) = delete;

  // Measures the folder, or its nearest existing parent (nothing for a path
  // that is not a full one), and returns at once. Only the newest request
  // is answered: one made while another is measured is measured next (in
  // place of any that waited before it) and the earlier answer dropped.
  void Ask(const std::string& path);
  void SetMeasure(Measure measure);

 private:
  struct Shared;
  static void Work(const std::shared_ptr<Shared>& shared);
  std::shared_ptr<Shared> shared_;
};

}  // namespace twinbay
