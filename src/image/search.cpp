// The position query and the signature search over an image.
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "image/image.h"

namespace cartsift {

using namespace window;


int64_t get_cur_pos(int fp) {
  int64_t pos = img_seek(fp, 0, SEEK_CUR);
  if (pos < 0) {
    out("\nfailed to update current file position exiting program\n");
    throw process_end{-3};
  }
  return pos;
}

namespace {

// Chunk by chunk, for descriptors that are no source. The chunk is the
// call's own: this layer leaves buf to the record readers.
int64_t fnd_sig_chunks(int fp, int64_t off, uint32_t sig) {
  uint8_t chunk[BUF_SIZE];
  int64_t pos = off;
  for (;;) {
    if (!seek_to(fp, pos))
      return -1;
    int64_t n = img_read(fp, chunk, sizeof chunk);
    if (n < 4)
      return -1;
    // Consecutive chunks overlap by 3 bytes so a value straddling two of
    // them is still seen.
    for (int64_t i = 0; i <= n - 4; i++)
      if (le32(chunk + i) == sig)
        return pos + i;
    pos += n - 3;
  }
}

// The candidates in p[i .. i+63], one bit each: the places where the first
// two bytes of the value match. Reads p[i .. i+64].
#if defined(__x86_64__) && defined(__GNUC__)
#define CARTSIFT_AVX2 1
__attribute__((target("avx2"))) uint64_t pairs64_avx2(const uint8_t *p, uint8_t c0,
                                                      uint8_t c1) {
  const __m256i b0 = _mm256_set1_epi8(static_cast<char>(c0));
  const __m256i b1 = _mm256_set1_epi8(static_cast<char>(c1));
  __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
  __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
  __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 33));
  auto m0 = uint32_t(_mm256_movemask_epi8(
      _mm256_and_si256(_mm256_cmpeq_epi8(x0, b0), _mm256_cmpeq_epi8(y0, b1))));
  auto m1 = uint32_t(_mm256_movemask_epi8(
      _mm256_and_si256(_mm256_cmpeq_epi8(x1, b0), _mm256_cmpeq_epi8(y1, b1))));
  return uint64_t(m0) | uint64_t(m1) << 32;
}
#endif

#if defined(__SSE2__)
uint64_t pairs64_sse2(const uint8_t *p, uint8_t c0, uint8_t c1) {
  const __m128i b0 = _mm_set1_epi8(static_cast<char>(c0));
  const __m128i b1 = _mm_set1_epi8(static_cast<char>(c1));
  uint64_t m = 0;
  for (int k = 0; k < 4; k++) {
    const uint8_t *q = p + 16 * k;
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q + 1));
    m |= uint64_t(uint32_t(_mm_movemask_epi8(
             _mm_and_si128(_mm_cmpeq_epi8(x, b0), _mm_cmpeq_epi8(y, b1)))))
         << (16 * k);
  }
  return m;
}
#else
uint64_t pairs64_plain(const uint8_t *p, uint8_t c0, uint8_t c1) {
  uint64_t m = 0;
  for (int k = 0; k < 64; k++)
    if (p[k] == c0 && p[k + 1] == c1)
      m |= uint64_t(1) << k;
  return m;
}
#endif

// The whole loop is compiled once per instruction set, so that the test of
// 64 positions inlines into it.
#define CARTSIFT_SCAN_LOOP(pairs)                                              \
  const size_t last = n - 4;                                                   \
  const auto c0 = static_cast<uint8_t>(sig), c1 = static_cast<uint8_t>(sig >> 8); \
  size_t i = 0;                                                                \
  for (; i + 65 <= n; i += 64) {                                               \
    for (uint64_t m = pairs(p + i, c0, c1); m != 0; m &= m - 1) {              \
      size_t j = i + size_t(__builtin_ctzll(m));                               \
      if (j <= last && le32(p + j) == sig)                                     \
        return j;                                                              \
    }                                                                          \
  }                                                                            \
  for (; i <= last; i++)                                                       \
    if (le32(p + i) == sig)                                                    \
      return i;                                                                \
  return n;

#if defined(CARTSIFT_AVX2)
__attribute__((target("avx2"))) size_t scan_avx2(const uint8_t *p, size_t n, uint32_t sig) {
  CARTSIFT_SCAN_LOOP(pairs64_avx2)
}
#endif

size_t scan_base(const uint8_t *p, size_t n, uint32_t sig) {
#if defined(__SSE2__)
  CARTSIFT_SCAN_LOOP(pairs64_sse2)
#else
  CARTSIFT_SCAN_LOOP(pairs64_plain)
#endif
}

#undef CARTSIFT_SCAN_LOOP

using scan_fn = size_t (*)(const uint8_t *, size_t, uint32_t);

scan_fn pick_scan() {
#if defined(CARTSIFT_AVX2)
  if (__builtin_cpu_supports("avx2"))
    return scan_avx2;
#endif
  return scan_base;
}

} // namespace

// Index of the first i with i + 4 <= n where the 4 bytes at p + i equal sig
// little-endian, or n when there is none. Candidates are the places where
// the first two bytes match, 64 positions tested at once; in file data and
// in noise alike they are rare, so the exact test seldom runs.
size_t find_sig(const uint8_t *p, size_t n, uint32_t sig) {
  static const scan_fn scan = pick_scan();
  if (n < 4)
    return n;
  return scan(p, n, sig);
}

int64_t fnd_sig(int fp, int64_t off, uint32_t sig) {
  if (source *s = lookup(fp))
    return s->find(off, sig);
  return fnd_sig_chunks(fp, off, sig);
}

// Returns what a search 1024 bytes at a time from off would return (the
// first place at or after off, -1 when none, a value cut off by the end of
// the image never counts), scanning the window cache in place. Afterwards
// the position stands just after the value, or at the end of what was
// searched; callers seek before they read again.
int64_t window::file_source::find(int64_t off, uint32_t sig) {
  if (off < 0)
    return -1;
  pos = off;
  for (;;) {
    // At least 4 bytes from the position must be in the window, or a value
    // starting there could not be seen whole.
    if (!in_window(pos) || win_end() - pos < 4) {
      win_len = 0;
      if (!fill())
        return -1;
      if (win_len < 4) {
        pos += int64_t(win_len);
        return -1;
      }
    }
    size_t at = size_t(pos - win_off);
    size_t n = win_len - at;
    size_t i = find_sig(mem_.get() + at, n, sig);
    if (i < n) {
      int64_t found = pos + int64_t(i);
      pos = found + 4;
      return found;
    }
    pos += int64_t(n - 3); // a value may straddle this window and the next
  }
}

} // namespace cartsift
