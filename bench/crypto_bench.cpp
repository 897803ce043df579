// Speed of the password protection's CAST-128 and SHA-1 against OpenSSL,
// measured side by side in one run. At the end each pair is printed as a ratio
// of throughputs (ours / OpenSSL's): above 1 means faster than OpenSSL.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "settings/CCast128.h"
#include "settings/CCast128Cbc.h"
#include "settings/CPasswordCipher.h"
#include "settings/CSha1.h"

namespace {

using tavro::CCast128;
using tavro::CCast128Cbc;
using tavro::CPasswordCipher;
using tavro::CSha1;

constexpr int kMiB = 1 << 20;
const std::uint8_t kKey[16] = {0x01, 0x23, 0x45, 0x67, 0x12, 0x34, 0x56, 0x78,
                               0x23, 0x45, 0x67, 0x89, 0x34, 0x56, 0x78, 0x9A};
const std::uint8_t kIv[8] = {0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE};

std::vector<std::uint8_t> Pattern(int n) {
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  return bytes;
}

void Require(bool ok, const char* what) {
  if (!ok) {
    throw std::runtime_error(what);
  }
}

// OpenSSL 3 keeps CAST5 in its legacy provider.
EVP_CIPHER* Cast5(const char* mode) {
  static const bool loaded = OSSL_PROVIDER_load(nullptr, "legacy") != nullptr &&
                             OSSL_PROVIDER_load(nullptr, "default") != nullptr;
  Require(loaded, "OpenSSL legacy provider");
  EVP_CIPHER* cipher = EVP_CIPHER_fetch(nullptr, mode, nullptr);
  Require(cipher != nullptr, mode);
  return cipher;
}

template <class Cipher>
void OursEncrypt(benchmark::State& state) {
  const auto in = Pattern(kMiB);
  std::vector<std::uint8_t> out(static_cast<std::size_t>(CCast128::PaddedLength(kMiB)));
  Cipher cipher;
  cipher.SetKeyBytes(kKey);
  cipher.SetIv(kIv);
  for (auto _ : state) {
    int length = static_cast<int>(out.size());
    Require(cipher.EncryptPadded(out.data(), length, in.data(), kMiB) > 0, "encrypt");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

template <class Cipher>
void OursDecrypt(benchmark::State& state) {
  const auto plain = Pattern(kMiB);
  std::vector<std::uint8_t> in(static_cast<std::size_t>(CCast128::PaddedLength(kMiB)));
  std::vector<std::uint8_t> out(in.size());
  Cipher cipher;
  cipher.SetKeyBytes(kKey);
  cipher.SetIv(kIv);
  int length = static_cast<int>(in.size());
  Require(cipher.EncryptPadded(in.data(), length, plain.data(), kMiB) > 0, "encrypt");
  for (auto _ : state) {
    length = static_cast<int>(out.size());
    Require(
        cipher.DecryptPadded(out.data(), length, in.data(), static_cast<int>(in.size())) == kMiB,
        "decrypt");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

void OpenSslCipher(benchmark::State& state, const char* mode, bool encrypt) {
  EVP_CIPHER* cipher = Cast5(mode);
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  const auto in = Pattern(kMiB);
  std::vector<std::uint8_t> out(in.size() + 8);
  Require(EVP_CipherInit_ex2(context, cipher, kKey, kIv, encrypt ? 1 : 0, nullptr) == 1, "init");
  EVP_CIPHER_CTX_set_padding(context, 0);
  for (auto _ : state) {
    // Keyed once, as ours is; only the chaining starts again from the IV.
    Require(EVP_CipherInit_ex2(context, nullptr, nullptr, kIv, -1, nullptr) == 1, "iv");
    int length = 0;
    Require(EVP_CipherUpdate(context, out.data(), &length, in.data(), kMiB) == 1, "update");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
  EVP_CIPHER_CTX_free(context);
  EVP_CIPHER_free(cipher);
}

void OursSha1(benchmark::State& state) {
  const auto in = Pattern(kMiB);
  std::uint8_t digest[20];
  CSha1 sha;
  sha.SetRepeat(1);
  for (auto _ : state) {
    int length = 20;
    Require(sha.Hash(digest, length, in.data(), kMiB) == 20, "hash");
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

void OpenSslSha1(benchmark::State& state) {
  const auto in = Pattern(kMiB);
  std::uint8_t digest[20];
  for (auto _ : state) {
    unsigned int length = 0;
    Require(EVP_Digest(in.data(), kMiB, digest, &length, EVP_sha1(), nullptr) == 1, "digest");
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(state.iterations() * kMiB);
}

// A cipher whose salt and count are fixed, so every decode does the same work.
class FixedDraw : public CPasswordCipher {
public:
  void RandomBytes(std::uint8_t* buffer, int n) override {
    for (int i = 0; i < n; ++i) {
      buffer[i] = Bytes[Next++ % sizeof Bytes];
    }
  }

private:
  // Salt, then the count 65535 (0xFFFF little-endian).
  std::uint8_t Bytes[12] = {0x5A, 0x17, 0xC3, 0x88, 0x01, 0xFE, 0x42, 0x9D, 0xFF, 0xFF, 0, 0};
  std::size_t Next = 0;
};

const char kUser[] = "ftp-user@example.jp";
const char kPassword[] = "correct horse battery staple";

std::vector<std::uint8_t> StoredValue() {
  FixedDraw cipher;
  cipher.SetKey(kUser);
  const int plain = static_cast<int>(sizeof kPassword);
  std::vector<std::uint8_t> stored(static_cast<std::size_t>(CPasswordCipher::EncodedLength(plain)));
  int length = static_cast<int>(stored.size());
  Require(cipher.EncodePassword(stored.data(), length,
                                reinterpret_cast<const std::uint8_t*>(kPassword), plain) > 0,
          "encode");
  return stored;
}

void OursDecode(benchmark::State& state) {
  const auto stored = StoredValue();
  const int n = static_cast<int>(stored.size());
  std::vector<std::uint8_t> plain(static_cast<std::size_t>(CPasswordCipher::DecodedCapacity(n)));
  for (auto _ : state) {
    CPasswordCipher cipher;
    cipher.SetKey(kUser);
    int length = static_cast<int>(plain.size());
    Require(cipher.DecodePassword(plain.data(), length, stored.data(), n) ==
                static_cast<int>(sizeof kPassword),
            "decode");
    benchmark::DoNotOptimize(plain.data());
  }
}

// The same decode put together from OpenSSL's parts: header blocks in ECB,
// the salt fed 8 bytes at a time into SHA-1, the body in CBC.
void OpenSslDecode(benchmark::State& state) {
  const auto stored = StoredValue();
  EVP_CIPHER* ecb = Cast5("CAST5-ECB");
  EVP_CIPHER* cbc = Cast5("CAST5-CBC");
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  std::uint8_t key[16] = {};
  std::memcpy(key, kUser, 16);
  std::vector<std::uint8_t> plain(stored.size());
  for (auto _ : state) {
    std::uint8_t header[32];
    int length = 0;
    Require(EVP_DecryptInit_ex2(context, ecb, key, nullptr, nullptr) == 1, "init");
    EVP_CIPHER_CTX_set_padding(context, 0);
    Require(EVP_DecryptUpdate(context, header, &length, stored.data(), 32) == 1, "header");
    const std::uint32_t count = header[20] | (header[21] << 8) | (header[22] << 16) |
                                (static_cast<std::uint32_t>(header[23]) << 24);
    std::uint8_t digest[20];
    Require(EVP_DigestInit_ex(md, EVP_sha1(), nullptr) == 1, "sha init");
    for (std::uint32_t i = 0; i < count; ++i) {
      EVP_DigestUpdate(md, header + 24, 8);
    }
    Require(EVP_DigestFinal_ex(md, digest, nullptr) == 1, "sha final");
    Require(std::memcmp(digest, header, 8) == 0, "digest");
    Require(EVP_DecryptInit_ex2(context, cbc, key, header + 24, nullptr) == 1, "init");
    EVP_CIPHER_CTX_set_padding(context, 0);
    Require(EVP_DecryptUpdate(context, plain.data(), &length, stored.data() + 32,
                              static_cast<int>(stored.size()) - 32) == 1,
            "body");
    benchmark::DoNotOptimize(plain.data());
  }
  EVP_MD_CTX_free(md);
  EVP_CIPHER_CTX_free(context);
  EVP_CIPHER_free(cbc);
  EVP_CIPHER_free(ecb);
}

// Keeps each run's CPU time per iteration by name, for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
  // Plain text: the output usually ends up in a log.
  RatioReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred || run.run_type != Run::RT_Iteration) {
        continue;
      }
      Times[run.benchmark_name()] = run.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void PrintRatios() const {
    std::printf("\nThroughput ratio, ours / OpenSSL (same work per iteration):\n");
    for (const char* pair : {"CAST-128 ECB encrypt", "CAST-128 CBC encrypt", "CAST-128 CBC decrypt",
                             "SHA-1", "DecodePassword count 65535"}) {
      const auto ours = Times.find(std::string(pair) + "/ours");
      const auto theirs = Times.find(std::string(pair) + "/OpenSSL");
      if (ours == Times.end() || theirs == Times.end() || ours->second <= 0) {
        continue;
      }
      std::printf("  %-28s %.2f\n", pair, theirs->second / ours->second);
    }
  }

private:
  std::map<std::string, double> Times;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("CAST-128 ECB encrypt/ours", OursEncrypt<CCast128>);
  benchmark::RegisterBenchmark("CAST-128 ECB encrypt/OpenSSL",
                               [](benchmark::State& s) { OpenSslCipher(s, "CAST5-ECB", true); });
  benchmark::RegisterBenchmark("CAST-128 CBC encrypt/ours", OursEncrypt<CCast128Cbc>);
  benchmark::RegisterBenchmark("CAST-128 CBC encrypt/OpenSSL",
                               [](benchmark::State& s) { OpenSslCipher(s, "CAST5-CBC", true); });
  benchmark::RegisterBenchmark("CAST-128 CBC decrypt/ours", OursDecrypt<CCast128Cbc>);
  benchmark::RegisterBenchmark("CAST-128 CBC decrypt/OpenSSL",
                               [](benchmark::State& s) { OpenSslCipher(s, "CAST5-CBC", false); });
  benchmark::RegisterBenchmark("SHA-1/ours", OursSha1);
  benchmark::RegisterBenchmark("SHA-1/OpenSSL", OpenSslSha1);
  benchmark::RegisterBenchmark("DecodePassword count 65535/ours", OursDecode)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("DecodePassword count 65535/OpenSSL", OpenSslDecode)
      ->Unit(benchmark::kMillisecond);

  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
    return 1;
  }
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
