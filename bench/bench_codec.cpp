// The SMS4 block operation and the UDP frame packing (encode_msg plus hex
// text), side by side with OpenSSL's SM4 on the same machine.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/text.h"
#include "messaging/codec.h"
#include "messaging/sms4.h"

namespace {

using Block = std::array<uint8_t, 16>;
constexpr int kFrameBytes = 500;

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using Ctx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

Ctx openssl_sm4(const uint8_t* key) {
  Ctx ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), EVP_sm4_ecb(), nullptr, key, nullptr) != 1) {
    std::fprintf(stderr, "OpenSSL has no SM4\n");
    std::exit(1);
  }
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  return ctx;
}

Block swap_groups(Block b) {
  for (size_t i = 0; i < b.size(); i += 4) {
    std::swap(b[i], b[i + 3]);
    std::swap(b[i + 1], b[i + 2]);
  }
  return b;
}

// A frame of the usual kind: comma-separated text.
std::vector<uint8_t> sample_frame() {
  std::vector<uint8_t> f(kFrameBytes + 16);
  const char* part = "AE,0001,WAI,01,12345,";
  for (int i = 0; i < kFrameBytes; ++i) f[i] = static_cast<uint8_t>(part[i % std::strlen(part)]);
  return f;
}

// encode_msg logs every frame on standard output; the benchmark's own report
// goes there too, so the log is sent to /dev/null only while a loop runs.
class QuietStdout {
 public:
  QuietStdout() : saved_(dup(1)) {
    std::fflush(stdout);
    int null_fd = open("/dev/null", O_WRONLY);
    dup2(null_fd, 1);
    close(null_fd);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

// One application, as sms4_encrypt(block, key, 1).
void BM_Sms4Block(benchmark::State& state) {
  Block b{};
  for (auto _ : state) {
    sms4_encrypt(b.data(), UserA_Secret, 1);
    benchmark::DoNotOptimize(b);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sms4Block);

// One application with the round keys expanded for the block itself.
void BM_Sms4BlockWithKeySchedule(benchmark::State& state) {
  Block b{};
  for (auto _ : state) {
    Sms4RoundKeys rk;
    sms4_key_schedule(UserA_Secret, rk);
    Sms4State x = {sms4_load(b.data()), sms4_load(b.data() + 4), sms4_load(b.data() + 8),
                   sms4_load(b.data() + 12)};
    for (uint32_t k : rk) sms4_round_func(x, k);
    sms4_reverse(x);
    for (int i = 0; i < 4; ++i) sms4_store(b.data() + 4 * i, x[i]);
    benchmark::DoNotOptimize(b);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Sms4BlockWithKeySchedule);

// 32 independent blocks (512 bytes), one application each.
void BM_Sms4Ecb512(benchmark::State& state) {
  std::vector<uint8_t> buf(512);
  for (auto _ : state) {
    sms4_encrypt_blocks(buf.data(), 32, UserA_Secret, 1);
    benchmark::DoNotOptimize(buf.data());
  }
  state.SetItemsProcessed(state.iterations() * 32);
}
BENCHMARK(BM_Sms4Ecb512);

// OpenSSL, one block per call with the key set up once.
void BM_OpenSslSm4Block(benchmark::State& state) {
  Ctx ctx = openssl_sm4(UserA_Secret);
  Block b{};
  Block out{};
  int n = 0;
  for (auto _ : state) {
    EVP_EncryptUpdate(ctx.get(), out.data(), &n, b.data(), 16);
    b = out;
    benchmark::DoNotOptimize(b);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenSslSm4Block);

// OpenSSL with the key set up for every block.
void BM_OpenSslSm4BlockWithKeySetup(benchmark::State& state) {
  Ctx ctx = openssl_sm4(UserA_Secret);
  Block b{};
  Block out{};
  int n = 0;
  for (auto _ : state) {
    EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, UserA_Secret, nullptr);
    EVP_EncryptUpdate(ctx.get(), out.data(), &n, b.data(), 16);
    b = out;
    benchmark::DoNotOptimize(b);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OpenSslSm4BlockWithKeySetup);

// OpenSSL, 512 bytes of ECB per call.
void BM_OpenSslSm4Ecb512(benchmark::State& state) {
  Ctx ctx = openssl_sm4(UserA_Secret);
  std::vector<uint8_t> in(512), out(512);
  int n = 0;
  for (auto _ : state) {
    EVP_EncryptUpdate(ctx.get(), out.data(), &n, in.data(), 512);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * 32);
}
BENCHMARK(BM_OpenSslSm4Ecb512);

// A 500-byte frame packed for the modem: encode_msg (pad to 512, log line,
// two applications per block) then two upper-case hex digits per byte.
void BM_EncodeMsgHex500(benchmark::State& state) {
  const std::vector<uint8_t> frame = sample_frame();
  std::vector<uint8_t> buf(frame.size());
  std::vector<char> hex(2 * buf.size() + 1);
  QuietStdout quiet;
  for (auto _ : state) {
    std::memcpy(buf.data(), frame.data(), kFrameBytes);
    int32_t length = kFrameBytes;
    encode_msg(buf.data(), &length);
    bytes_to_hex(buf.data(), static_cast<size_t>(length), hex.data());
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_EncodeMsgHex500);

// The same packing done with OpenSSL: pad, two ECB passes, hex.
void BM_OpenSslEncodeHex500(benchmark::State& state) {
  Ctx ctx = openssl_sm4(UserA_Secret);
  const std::vector<uint8_t> frame = sample_frame();
  std::vector<uint8_t> buf(512), tmp(512);
  std::vector<char> hex(2 * buf.size() + 1);
  int n = 0;
  for (auto _ : state) {
    std::memcpy(buf.data(), frame.data(), kFrameBytes);
    std::memset(buf.data() + kFrameBytes, ' ', 512 - kFrameBytes);
    EVP_EncryptUpdate(ctx.get(), tmp.data(), &n, buf.data(), 512);
    EVP_EncryptUpdate(ctx.get(), buf.data(), &n, tmp.data(), 512);
    bytes_to_hex(buf.data(), buf.size(), hex.data());
    benchmark::DoNotOptimize(hex.data());
  }
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_OpenSslEncodeHex500);

// Both must compute the same cipher before their speeds mean anything.
void check_against_openssl() {
  Block key{}, plain{};
  for (int i = 0; i < 16; ++i) {
    key[i] = static_cast<uint8_t>(i * 17 + 3);
    plain[i] = static_cast<uint8_t>(255 - i * 5);
  }
  Block ours = plain;
  sms4_encrypt(ours.data(), key.data(), 1);
  Block std_key = swap_groups(key), std_in = swap_groups(plain), std_out{};
  Ctx ctx = openssl_sm4(std_key.data());
  int n = 0;
  EVP_EncryptUpdate(ctx.get(), std_out.data(), &n, std_in.data(), 16);
  if (n != 16 || swap_groups(std_out) != ours) {
    std::fprintf(stderr, "SMS4 and OpenSSL SM4 disagree\n");
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  check_against_openssl();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
