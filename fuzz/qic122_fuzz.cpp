// The frame decoder on arbitrary bytes. The first two input bytes pick the
// output's room (up to a whole frame), the rest is the frame. Input and
// output sit in buffers of exactly their size, so a read past the frame or a
// write past the room is an ASan report; a result must be an error code or a
// count that fits the room, and the same result and bytes as a plain
// bit-at-a-time decoder gives.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "zvol/zvol.h"

namespace {

// The format read the slow way, one bit at a time.
int64_t reference(const uint8_t *src, size_t n, std::vector<uint8_t> &out, size_t cap) {
  size_t pos = 0;
  bool short_input = false;
  auto get = [&](int k) {
    unsigned v = 0;
    for (; k > 0; k--, pos++) {
      short_input |= pos >= 8 * n;
      v = v << 1 | (pos < 8 * n ? src[pos >> 3] >> (7 - (pos & 7)) & 1 : 0);
    }
    return v;
  };
  for (;;) {
    if (!get(1)) {
      const auto c = uint8_t(get(8));
      if (short_input)
        return cartsift::QIC122_NO_END;
      if (out.size() == cap)
        return cartsift::QIC122_TOO_LONG;
      out.push_back(c);
      continue;
    }
    const bool short_form = get(1);
    const size_t off = get(short_form ? 7 : 11);
    if (short_form && off == 0)
      return short_input ? cartsift::QIC122_NO_END : int64_t(out.size());
    size_t len = get(2) + 2;
    if (len == 5) {
      len = get(2) + 5;
      if (len == 8)
        for (unsigned g = 15; g == 15; len += g) {
          if (len > 8 && len > cap - out.size()) // after a group of 1111
            return cartsift::QIC122_TOO_LONG;
          g = get(4);
        }
    }
    if (short_input)
      return cartsift::QIC122_NO_END;
    if (off == 0 || off > out.size())
      return cartsift::QIC122_BAD_OFFSET;
    if (len > cap - out.size())
      return cartsift::QIC122_TOO_LONG;
    for (size_t i = 0; i < len; i++)
      out.push_back(out[out.size() - off]);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace cartsift;
  if (size < 2)
    return 0;
  const size_t cap = le16(data) % (QIC122_FRAME_MAX + 1);
  const size_t n = size - 2;
  auto src = std::make_unique<uint8_t[]>(n);
  std::memcpy(src.get(), data + 2, n);
  auto dst = std::make_unique<uint8_t[]>(cap);
  const int64_t r = qic122_decode(src.get(), n, dst.get(), cap);
  if (r > int64_t(cap) ||
      (r < 0 && r != QIC122_BAD_OFFSET && r != QIC122_NO_END && r != QIC122_TOO_LONG))
    std::abort();
  std::vector<uint8_t> ref;
  ref.reserve(cap);
  const int64_t want = reference(src.get(), n, ref, cap);
  if (r != want || (r > 0 && std::memcmp(dst.get(), ref.data(), size_t(r)) != 0))
    std::abort();
  return 0;
}
