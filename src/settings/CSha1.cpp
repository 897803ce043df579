#include "settings/CSha1.h"

#include <algorithm>
#include <cstring>

#include "settings/Sha1Blocks.h"

namespace tavro {

namespace {

inline void StoreBig(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}

constexpr std::uint64_t kMaxMessageBytes = UINT64_MAX / 8;

}  // namespace

void CSha1::Compress(const std::uint8_t* blocks, std::size_t count) {
  static const sha1::BlockFn compress = sha1::BestBlocks();
  compress(Chain, blocks, count);
}

void CSha1::Reset() {
  Chain[0] = 0x67452301u;
  Chain[1] = 0xEFCDAB89u;
  Chain[2] = 0x98BADCFEu;
  Chain[3] = 0x10325476u;
  Chain[4] = 0xC3D2E1F0u;
  LengthLow = 0;
  LengthHigh = 0;
  Buffered = 0;
}

void CSha1::Update(const std::uint8_t* data, std::size_t size) {
  const std::uint64_t bits =
      ((std::uint64_t{LengthHigh} << 32) | LengthLow) + std::uint64_t{size} * 8;
  LengthLow = static_cast<std::uint32_t>(bits);
  LengthHigh = static_cast<std::uint32_t>(bits >> 32);
  if (size == 0) {
    return;
  }

  // Short pieces (the salt is 8 bytes, fed thousands of times) only fill the
  // buffer; whole blocks of a long input are compressed where they lie.
  if (Buffered != 0) {
    const std::size_t take = std::min<std::size_t>(size, 64 - Buffered);
    std::memcpy(Buffer + Buffered, data, take);
    Buffered += static_cast<std::uint32_t>(take);
    data += take;
    size -= take;
    if (Buffered < 64) {
      return;
    }
    Compress(Buffer, 1);
    Buffered = 0;
  }
  if (size >= 64) {
    Compress(data, size / 64);
    data += size / 64 * 64;
    size %= 64;
  }
  if (size != 0) {
    std::memcpy(Buffer, data, size);
    Buffered = static_cast<std::uint32_t>(size);
  }
}

void CSha1::Finish(std::uint8_t* digest) {
  std::uint8_t tail[8];
  StoreBig(tail, LengthHigh);
  StoreBig(tail + 4, LengthLow);
  Buffer[Buffered++] = 0x80;
  if (Buffered > 56) {
    std::memset(Buffer + Buffered, 0, 64 - Buffered);
    Compress(Buffer, 1);
    Buffered = 0;
  }
  std::memset(Buffer + Buffered, 0, 56 - Buffered);
  std::memcpy(Buffer + 56, tail, 8);
  Compress(Buffer, 1);
  Buffered = 0;
  for (int i = 0; i < 5; ++i) {
    StoreBig(digest + 4 * i, Chain[i]);
  }
}

int CSha1::Hash(std::uint8_t* out, int& outLength, const std::uint8_t* in, int inLength,
                ProgressFn progress, void* cookie) {
  if (out == nullptr || outLength < kDigestSize) {
    return 0;
  }
  if (inLength < 0 || (in == nullptr && inLength > 0)) {
    return 0;
  }
  const std::uint32_t repeat = Repeat;
  // Checked before any work: 2^32 repetitions of a 2 GiB input would need
  // more than the 64-bit length field that closes the message.
  if (std::uint64_t{repeat} * static_cast<std::uint64_t>(inLength) > kMaxMessageBytes) {
    return 0;
  }
  Reset();
  if (progress != nullptr) {
    progress(0, repeat, cookie);
  }
  const auto size = static_cast<std::size_t>(inLength);
  for (std::uint64_t i = 1; i <= repeat; ++i) {
    Update(in, size);
    if (progress != nullptr) {
      progress(static_cast<std::int64_t>(i), repeat, cookie);
    }
  }
  Finish(out);
  if (progress != nullptr) {
    progress(0, repeat, cookie);
  }
  outLength = kDigestSize;
  return kDigestSize;
}

}  // namespace tavro
