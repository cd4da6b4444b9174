// The QIC-122 encoder: LZ77 over a 2047-byte window, matches found through
// hash chains on 2-byte keys (a 2-byte copy already beats two literals), a
// match chosen by the bits it saves rather than by its length alone.
#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>

#include "img_builder.h"

namespace cartsift::build {

namespace {

constexpr size_t WINDOW = 2047;
constexpr size_t MAX_CHAIN = 48;
constexpr size_t NICE = 96; // long enough: stop looking

size_t len_bits(size_t len) {
  if (len <= 4)
    return 2;
  if (len <= 7)
    return 4;
  return 4 + 4 * ((len - 8) / 15 + 1);
}
size_t copy_bits(size_t len, size_t off) { return (off < 128 ? 9 : 13) + len_bits(len); }

struct match {
  size_t len = 0, off = 0;
};
// Bits saved against literals; a non-match saves nothing.
long gain(const match &m) { return m.len < 2 ? 0 : long(9 * m.len) - long(copy_bits(m.len, m.off)); }

class bit_writer {
public:
  explicit bit_writer(std::vector<uint8_t> &v) : v_(v) {}
  void put(uint32_t val, unsigned k) { // k <= 32, most significant bit first
    acc_ = acc_ << k | val;
    n_ += k;
    bits_ += k;
    while (n_ >= 8) {
      n_ -= 8;
      v_.push_back(uint8_t(acc_ >> n_));
    }
  }
  void flush() {
    if (n_ > 0)
      v_.push_back(uint8_t(acc_ << (8 - n_)));
    n_ = 0;
  }
  size_t bits() const { return bits_; }

private:
  std::vector<uint8_t> &v_;
  uint64_t acc_ = 0;
  unsigned n_ = 0;
  size_t bits_ = 0;
};

size_t common(const uint8_t *a, const uint8_t *b, size_t max) {
  size_t n = 0;
  while (n + 8 <= max) {
    uint64_t x, y;
    std::memcpy(&x, a + n, 8);
    std::memcpy(&y, b + n, 8);
    if (x != y) // the host is little-endian: the first difference is the low one
      return n + size_t(__builtin_ctzll(x ^ y) / 8);
    n += 8;
  }
  while (n < max && a[n] == b[n])
    ++n;
  return n;
}

class encoder {
public:
  encoder(lz_state &st, std::span<const uint8_t> in) : st_(st), in_(in) {
    // Room for this stream's positions, then a fresh start.
    if (st_.base > 0x7FFFFFFFu) {
      std::fill(st_.head.begin(), st_.head.end(), 0);
      st_.base = 1;
    }
  }
  ~encoder() { st_.base += uint32_t(in_.size()) + 1; }

  uint16_t key(size_t i) const { return uint16_t(in_[i] | in_[i + 1] << 8); }

  void insert(size_t i) {
    if (i + 2 > in_.size())
      return;
    const uint32_t g = st_.base + uint32_t(i);
    uint32_t &h = st_.head[key(i)];
    st_.prev[g & 2047] = h;
    h = g;
  }

  match find(size_t i) const {
    match best;
    if (i + 2 > in_.size())
      return best;
    const size_t max = in_.size() - i;
    const uint8_t *cur = in_.data() + i;
    long best_gain = 0;
    uint32_t cand = st_.head[key(i)];
    for (size_t depth = 0; depth < MAX_CHAIN && cand >= st_.base; ++depth) {
      const size_t j = cand - st_.base;
      const size_t off = i - j;
      if (off > WINDOW)
        break;
      // A candidate can only win by matching past the best length so far.
      if (best.len < max && in_[j + best.len] == cur[best.len]) {
        match m{common(in_.data() + j, cur, max), off};
        if (gain(m) > best_gain) {
          best = m;
          best_gain = gain(m);
          if (m.len >= NICE || m.len == max)
            break;
        }
      }
      cand = st_.prev[cand & 2047];
    }
    return best;
  }

private:
  lz_state &st_;
  std::span<const uint8_t> in_;
};

void put_copy(bit_writer &w, const match &m) {
  w.put(1, 1);
  if (m.off < 128)
    w.put(uint32_t(0x80 | m.off), 8);
  else
    w.put(uint32_t(m.off), 12);
  if (m.len <= 4) {
    w.put(uint32_t(m.len - 2), 2);
  } else if (m.len <= 7) {
    w.put(uint32_t(0xC + m.len - 5), 4);
  } else {
    w.put(0xF, 4);
    size_t r = m.len - 8;
    for (; r >= 15; r -= 15)
      w.put(0xF, 4);
    w.put(uint32_t(r), 4);
  }
}

} // namespace

size_t lz_compress(lz_state &st, std::span<const uint8_t> in, size_t max_out,
                   std::vector<uint8_t> &out, bool lazy) {
  if (max_out < 2)
    throw std::invalid_argument("lz_compress: no room for the end marker");
  const size_t budget = std::min(max_out, SIZE_MAX / 16) * 8 - 9; // the end marker's bits kept
  encoder enc(st, in);
  bit_writer w(out);
  auto fits = [&](size_t bits) { return w.bits() + bits <= budget; };

  size_t i = 0;
  match next;
  bool have_next = false;
  while (i < in.size()) {
    match m = have_next ? next : enc.find(i);
    have_next = false;
    enc.insert(i);
    if (lazy && m.len >= 2 && m.len < NICE && i + 1 < in.size()) {
      match m1 = enc.find(i + 1);
      if (gain(m1) > gain(m)) {
        m = match{};
        next = m1;
        have_next = true;
      }
    }
    if (m.len >= 2) {
      if (!fits(copy_bits(m.len, m.off)))
        break;
      put_copy(w, m);
      for (size_t k = 1; k < m.len; ++k)
        enc.insert(i + k);
      i += m.len;
    } else {
      if (!fits(9))
        break;
      w.put(in[i], 9);
      ++i;
    }
  }
  w.put(0x180, 9); // 1 1 0000000
  w.flush();
  return i;
}

size_t lz_compress(std::span<const uint8_t> in, size_t max_out, std::vector<uint8_t> &out,
                   bool lazy) {
  lz_state st;
  return lz_compress(st, in, max_out, out, lazy);
}

std::vector<uint8_t> lz_compress(std::span<const uint8_t> in, bool lazy) {
  std::vector<uint8_t> out;
  lz_compress(in, SIZE_MAX, out, lazy);
  return out;
}

} // namespace cartsift::build
