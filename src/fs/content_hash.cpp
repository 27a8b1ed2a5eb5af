#include "fs/content_hash.h"

#include <openssl/evp.h>

#include <cctype>

namespace twinbay {

struct ContentHasher::Evp {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  ~Evp() { EVP_MD_CTX_free(ctx); }
};

const char* HashName(HashKind kind) {
  switch (kind) {
    case HashKind::Sha256: return "SHA-256";
    case HashKind::Sha1: return "SHA-1";
    case HashKind::Md5: return "MD5";
    case HashKind::Crc32: return "CRC32";
  }
  return "?";
}

std::optional<HashKind> StrongestHash(unsigned kinds) {
  for (HashKind k : {HashKind::Sha256, HashKind::Sha1, HashKind::Md5, HashKind::Crc32})
    if (kinds & static_cast<unsigned>(k)) return k;
  return std::nullopt;
}

bool TakeHexDigest(std::string& hex, HashKind kind) {
  const size_t want = kind == HashKind::Sha256 ? 64 : kind == HashKind::Sha1 ? 40 : kind == HashKind::Md5 ? 32 : 8;
  if (hex.size() != want) return false;
  for (char& c : hex) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return true;
}

ContentHasher::ContentHasher(HashKind kind) : kind_(kind) {
  if (kind == HashKind::Crc32) return;
  evp_ = std::make_unique<Evp>();
  const EVP_MD* md = kind == HashKind::Sha256 ? EVP_sha256() : kind == HashKind::Sha1 ? EVP_sha1() : EVP_md5();
  EVP_DigestInit_ex(evp_->ctx, md, nullptr);
}

ContentHasher::~ContentHasher() = default;

void ContentHasher::Add(const char* data, size_t size) {
  if (evp_) {
    EVP_DigestUpdate(evp_->ctx, data, size);
    return;
  }
  // CRC-32 (IEEE 802.3, reflected), as XCRC gives it.
  for (size_t i = 0; i < size; ++i) {
    crc_ ^= static_cast<unsigned char>(data[i]);
    for (int b = 0; b < 8; ++b) crc_ = (crc_ >> 1) ^ (0xEDB88320u & (0u - (crc_ & 1u)));
  }
}

std::string ContentHasher::Hex() {
  static const char* kHex = "0123456789abcdef";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (evp_) {
    EVP_DigestFinal_ex(evp_->ctx, digest, &n);
  } else {
    const uint32_t crc = crc_ ^ 0xFFFFFFFFu;
    for (int i = 0; i < 4; ++i) digest[n++] = static_cast<unsigned char>(crc >> (24 - 8 * i));
  }
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

}  // namespace twinbay
