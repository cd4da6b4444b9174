// The extent reader of compressed volumes on arbitrary segments. The first
// input byte picks the segment count (1 to 4) and the spanning layout; the
// rest is cut into equal parts, each put at the start of its segment, where
// the offset words and frames lie, the segment's rest zero. The whole
// inflated stream is then read, passed, searched and checked for holes;
// what it yields must stay within the view's own bounds.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "set/set.h"

namespace {

std::string scratch() {
  const char *t = std::getenv("TMPDIR");
  std::string p = std::string(t && *t ? t : "/tmp") + "/zview-fuzz-" + std::to_string(getpid());
  return p;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace cartsift;
  if (size < 1)
    return 0;
  static const std::string path = scratch();
  const size_t nseg = 1 + (data[0] & 3);
  const bool spanning = data[0] & 4;
  const size_t part = (size - 1) / nseg;
  std::vector<uint8_t> img(nseg * size_t(BLOCK_SIZE), 0);
  for (size_t k = 0; k < nseg; k++)
    for (size_t i = 0; i < part && i < size_t(BLOCK_SIZE); i++)
      img[k * size_t(BLOCK_SIZE) + i] = data[1 + k * part + i];
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, img.data(), img.size()) != ssize_t(img.size()))
    std::abort();
  close(fd);

  set_part p;
  p.path = path;
  p.start = 0;
  p.end = int64_t(img.size());
  p.inflate = true;
  p.spanning = spanning;
  std::string why;
  const int sfd = set_open({p}, &why);
  if (sfd < 0) {
    if (why.empty())
      std::abort(); // a refusal always says why
    return 0;
  }
  const int64_t total = img_seek(sfd, 0, SEEK_END);
  // No segment expands to more than 2 MiB, and the last extent to 4 MiB.
  if (total < 0 || total > int64_t(nseg) * (2 << 20) + (4 << 20))
    std::abort();
  static uint8_t chunk[1 << 16];
  (void)seek_to(sfd, 0);
  // Holes are stepped over a kilobyte at a time, the rest read whole.
  for (int64_t pos = 0; pos < total;) {
    int64_t r = img_read(sfd, chunk, sizeof chunk);
    if (r > int64_t(sizeof chunk))
      std::abort();
    pos = r > 0 ? pos + r : pos + 1024;
    (void)seek_to(sfd, pos);
  }
  for (int64_t at = 0; (at = fnd_sig(sfd, at, 0x33CC33CC)) >= 0; at++)
    if (at + 4 > total)
      std::abort();
  set_inflate_all(sfd);
  img_close(sfd);
  return 0;
}
