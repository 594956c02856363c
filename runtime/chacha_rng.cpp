#include "runtime/chacha_rng.hpp"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <system_error>

#include "runtime/classify.hpp"
#include "runtime/failure.hpp"
#include "runtime/rng.hpp"

namespace vorlinde::runtime {

namespace {

std::atomic<std::uint64_t> g_fork_generation{0};

void bump_fork_generation() noexcept { g_fork_generation.fetch_add(1, std::memory_order_relaxed); }

void register_fork_handlers() noexcept {
  static const bool registered = [] {
    pthread_atfork(nullptr, bump_fork_generation, bump_fork_generation);
    return true;
  }();
  (void)registered;
}

int urandom(std::span<std::uint8_t> out) {
  int fd;
  do fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  std::size_t done = 0;
  int err = 0;
  while (done < out.size()) {
    ssize_t got = ::read(fd, out.data() + done, out.size() - done);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got == 0) {
      err = EIO;
      break;
    } else if (errno != EINTR) {
      err = errno;
      break;
    }
  }
  ::close(fd);
  return err;
}

std::string os_error_text(int err) {
  return std::system_category().message(err) + " (os error " + std::to_string(err) + ")";
}

}  // namespace

int os_random(std::span<std::uint8_t> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    ssize_t got = ::getrandom(out.data() + done, out.size() - done, 0);
    if (got > 0) {
      done += static_cast<std::size_t>(got);
    } else if (got < 0 && errno == ENOSYS) {
      return urandom(out.subspan(done));
    } else if (got < 0 && errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

std::uint64_t fork_generation() noexcept { return g_fork_generation.load(std::memory_order_relaxed); }

ChaChaRng::ChaChaRng(KeySource source) noexcept : source_(source) { register_fork_handlers(); }

ChaChaRng::~ChaChaRng() {
  ::explicit_bzero(state_.data(), sizeof state_);
  ::explicit_bzero(buffer_, sizeof buffer_);
}

void ChaChaRng::rekey() {
  // Read the generation before drawing the key: a fork racing with the draw
  // then forces one more rekey rather than being missed.
  std::uint64_t generation = fork_generation();
  std::array<std::uint8_t, 32> key;
  int err = source_(key);
  if (err != 0) {
    ::explicit_bzero(key.data(), key.size());
    throw Failure(std::string(keyings_ == 0 ? "could not initialize thread_rng: " : "could not reseed thread_rng: ") +
                  os_error_text(err));
  }
  static constexpr std::array<std::uint8_t, 12> nonce{};
  state_ = chacha_state(key, 0, nonce);
  ::explicit_bzero(key.data(), key.size());
  ::explicit_bzero(buffer_, sizeof buffer_);
  pos_ = buffer_bytes;
  produced_ = 0;
  generation_ = generation;
  ++keyings_;
}

void ChaChaRng::check_key() {
  if (keyings_ == 0 || generation_ != fork_generation()) [[unlikely]]
    rekey();
}

void ChaChaRng::refill() {
  if (produced_ >= reseed_bytes) rekey();
  chacha_blocks(state_, rounds, buffer_);
  produced_ += buffer_bytes;
  pos_ = 0;
}

void ChaChaRng::fill(std::span<std::uint8_t> out) {
  check_key();
  while (!out.empty()) {
    if (pos_ < buffer_bytes) {
      std::size_t take = std::min(out.size(), buffer_bytes - pos_);
      std::memcpy(out.data(), buffer_ + pos_, take);
      // Bytes handed out may become a secret scalar: no copy stays behind.
      ::explicit_bzero(buffer_ + pos_, take);
      pos_ += take;
      out = out.subspan(take);
    } else if (out.size() >= buffer_bytes) {
      // Whole buffers' worth of blocks go straight into the caller's memory.
      // (Less goes through the buffer: the block function computes a
      // buffer's worth of blocks at once, and would throw the rest away.)
      if (produced_ >= reseed_bytes) rekey();
      std::size_t n = std::min(out.size() / buffer_bytes * buffer_bytes, reseed_bytes - produced_);
      chacha_blocks(state_, rounds, out.first(n));
      produced_ += n;
      out = out.subspan(n);
    } else {
      refill();
    }
  }
}

namespace {
inline std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
}  // namespace

std::uint32_t ChaChaRng::next_u32() {
  check_key();
  if (pos_ + 4 > buffer_bytes) refill();  // a partial word left by fill() is skipped
  std::uint32_t v = load_le32(buffer_ + pos_);
  pos_ += 4;
  return v;
}

std::uint64_t ChaChaRng::next_u64() {
  check_key();
  if (pos_ + 8 > buffer_bytes) [[unlikely]] {
    std::uint64_t lo = next_u32();
    return lo | static_cast<std::uint64_t>(next_u32()) << 32;
  }
  std::uint64_t v = load_le32(buffer_ + pos_) | static_cast<std::uint64_t>(load_le32(buffer_ + pos_ + 4)) << 32;
  pos_ += 8;
  return v;
}

namespace {
ChaChaRng& thread_rng() {
  thread_local ChaChaRng rng;
  return rng;
}
}  // namespace

// Everything a thread's generator hands out is secret to the constant-time
// check (no-ops in normal builds). A caller whose draw is public, such as a
// store seed, has to declassify it before the check can run that caller.
void fill_random(std::span<std::uint8_t> out) {
  thread_rng().fill(out);
  classify(out.data(), out.size());
}

std::uint32_t next_u32() {
  std::uint32_t v = thread_rng().next_u32();
  classify(&v, sizeof v);
  return v;
}

std::uint64_t next_u64() {
  std::uint64_t v = thread_rng().next_u64();
  classify(&v, sizeof v);
  return v;
}

}  // namespace vorlinde::runtime
