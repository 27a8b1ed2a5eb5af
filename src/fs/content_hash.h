// Content hashes: the kinds a file system can give, and a hasher over a
// file's bytes for the side that computes its own (the disk).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace twinbay {

// One hash algorithm; a set of them is a bit mask of these values.
enum class HashKind : uint8_t { Sha256 = 1, Sha1 = 2, Md5 = 4, Crc32 = 8 };
constexpr unsigned kEveryHashKind = 15;

// "SHA-256", "SHA-1", "MD5", "CRC32".
const char* HashName(HashKind kind);
// The strongest kind of a set (SHA-256, then SHA-1, MD5, CRC32); none for an
// empty set.
std::optional<HashKind> StrongestHash(unsigned kinds);
// Whether `hex` is a digest of the kind: that many hex digits (lower-cased in
// place).
bool TakeHexDigest(std::string& hex, HashKind kind);

// Hashes bytes given in order.
class ContentHasher {
 public:
  explicit ContentHasher(HashKind kind);
  ~ContentHasher();
  ContentHasher(const ContentHasher&) = delete;
  ContentHasher& operator=(const ContentHasher&) = delete;
  void Add(const char* data, size_t size);
  // The digest as lower-case hex (once, at the end).
  std::string Hex();

 private:
  HashKind kind_;
  uint32_t crc_ = 0xFFFFFFFFu;
  struct Evp;
  std::unique_ptr<Evp> evp_;
};

}  // namespace twinbay
