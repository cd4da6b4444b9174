// The frame decoder on arbitrary bytes. The first two input bytes pick the
// output's room (up to a whole frame), the rest is the frame. Input and
// output sit in buffers of exactly their size, so a read past the frame or a
// write past the room is an ASan report; a result must be an error code or a
// count that fits the room.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "image/image.h"

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
  if (r > int64_t(cap) || (r < 0 && r != QIC122_BAD_OFFSET && r != QIC122_NO_END &&
                           r != QIC122_TOO_LONG))
    std::abort();
  return 0;
}
