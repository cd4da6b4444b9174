// Image access and headers: the helpers every layer needs (output, byte
// decoding, the descriptor guard, the scratch buffer), positioned reads over
// the image, the file header and the volume table record.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace cartsift {

static_assert(std::endian::native == std::endian::little,
              "records are read into memory as stored");

// ---- run-mode flag word ---------------------------------------------------

constexpr uint16_t MODE_VERBOSE = 0x0001;
constexpr uint16_t MODE_VVERBOSE = 0x0002;
constexpr uint16_t MODE_TESTS = 0x0004;
constexpr uint16_t MODE_XTRACT = 0x0008;
constexpr uint16_t MODE_CATALOG = 0x0010;
constexpr uint16_t MODE_FORCE = 0x0020;

// ---- output ---------------------------------------------------------------

// Every listing line goes through out(); the stream is stdout unless a test
// or the fuzzer points it elsewhere. Formats are checked by the compiler.
void out(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void out_bytes(const void *p, size_t n); // raw bytes, zero bytes included
void out_char(char c);
void out_flush();
FILE *out_stream(FILE *f); // redirect; returns the previous stream

// Standard input for the two answers the tool asks for. in_char() flushes
// the output first so that a prompt is seen before the read blocks.
int in_char(); // EOF at end of input
FILE *in_stream(FILE *f);

// Values that the format treats as 32-bit print the way a 32-bit build
// printed them, whatever width we hold them in: a -1 offset shows as
// ffffffff under %lx and a block count above 2^31 goes negative under %ld.
constexpr unsigned long x32(int64_t v) { return static_cast<uint32_t>(v); }
constexpr long l32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// ---- little-endian decoding -----------------------------------------------

// Widen before shifting: a byte promotes to int, and int << 24 can overflow.
constexpr uint16_t le16(const uint8_t *b) {
  return static_cast<uint16_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8);
}
constexpr uint32_t le32(const uint8_t *b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
         uint32_t(b[3]) << 24;
}
constexpr bool fits(size_t size, size_t off, size_t len) {
  return off <= size && len <= size - off; // cannot overflow
}

// ---- compressed frames ----------------------------------------------------

// One compressed frame holds one LZ stream: literals and back references into
// its own output, 2 KiB back at most, closed by an end marker.
constexpr size_t QIC122_FRAME_MAX = 63488; // bytes a frame may expand to
enum qic122_result {
  QIC122_OK = 0,
  QIC122_BAD_OFFSET = -1, // a reference before the frame's first byte
  QIC122_NO_END = -2,     // the input ends before the end marker
  QIC122_TOO_LONG = -3,   // the output would pass cap
};
// Expands src[0..n) into dst[0..cap): the bytes written, or a negative
// qic122_result. Reads nothing past src + n and writes nothing past
// dst + cap; on failure dst holds garbage.
int64_t qic122_decode(const uint8_t *src, size_t n, uint8_t *dst, size_t cap);

// ---- descriptors ----------------------------------------------------------

// Owns one descriptor; callees borrow the plain int.
class fd_guard {
public:
  fd_guard() = default;
  explicit fd_guard(int fd) : fd_(fd) {}
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  fd_guard(fd_guard &&o) noexcept : fd_(o.release()) {}
  fd_guard &operator=(fd_guard &&o) noexcept {
    if (this != &o)
      reset(o.release());
    return *this;
  }
  ~fd_guard() { reset(); }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

private:
  int fd_ = -1;
};

// Thrown where the tool must end the process from deep inside a walk (the
// position query); main() catches it, so every owner still releases.
struct process_end {
  int status;
};

// ---- image reads ------------------------------------------------------------

// Each open image, set or volume is a source object of its own behind an
// int handle, which its opener owns and closes with img_close (or an
// fd_guard). An image keeps a window of itself, so that the many small reads
// of a walk cost no system call each; its positions behave exactly as
// lseek/read would on the file. A descriptor that is no handle is read
// directly, uncached. Two threads may read two sources at once, never one.
int img_open(const char *path);      // read-only; -1 on failure (directories too)
void img_close(int fp);              // releases a handle's source; closes any other descriptor
int64_t img_seek(int fp, int64_t off, int whence); // new position or -1
int64_t img_read(int fp, void *dst, size_t n);     // bytes read (short at EOF) or -1
// Reads n bytes from the position and drops them, copied no further than
// the window: bytes passed (short at EOF or a barrier) or -1.
int64_t img_pass(int fp, int64_t n);
// The cache's read sizes: near the last window, and after a long skip.
constexpr size_t IMG_WINDOW = 256 << 10;
constexpr size_t IMG_FAR_WINDOW = 16 << 10;

// Copies n bytes from the image's position to the output descriptor fo at
// its own position, moving both, in as few system calls as the two files
// allow. Returns the bytes copied; when fewer than n, *rfail tells whether
// the image ended (or a read failed) rather than the write.
int64_t img_copy(int fp, int fo, int64_t n, bool *rfail);

// A seek that lands exactly on off; a negative off never does (a failed
// seek's -1 must not pass for having reached offset -1).
inline bool seek_to(int fp, int64_t off) {
  return off >= 0 && img_seek(fp, off, SEEK_SET) == off;
}

// The shared 1024-byte scratch buffer. A user owns its contents only until the
// next user writes to it; nothing keeps data here across a call.
constexpr size_t BUF_SIZE = 1024;
extern uint8_t buf[BUF_SIZE];

// Current position; on failure prints its message and ends the process (-3).
int64_t get_cur_pos(int fp);

// Offset of the first place at or after off where the 4 bytes read
// little-endian equal sig, at any byte position; -1 when none (a value cut
// off by the end of the image included). Moves the position past the match
// or to the end of what was searched.
int64_t fnd_sig(int fp, int64_t off, uint32_t sig);
// The same over memory: index of the first whole match in p[0..n), or n.
size_t find_sig(const uint8_t *p, size_t n, uint32_t sig);

// ---- a set of images as one stream ----------------------------------------

// The data regions of a set's images, in cartridge order, read as one stream
// through the same img_* calls and fnd_sig as a single image, so that no
// record reader knows where one cartridge ends. A part that does not join
// on to the one before (a cartridge is missing between them, or the image
// before is cut short) starts behind a barrier: reads and copies stop at
// it, a signature search goes on past it. Stream offsets start at 0 with
// the first part's first byte.
struct set_part {
  std::string path;
  int64_t start = 0; // first byte of its data region in the image
  int64_t end = 0;   // end of its data region (its catalog offset or its size)
  bool gap_before = false; // a barrier before it
  bool inflate = false;  // a compressed volume, read through its inflated view
  bool spanning = false; // its extents may run across segments
};

// A handle for the img_* calls; the parts' images are opened as the stream
// reaches them, one at a time. -1 when no stream can be had.
int set_open(std::vector<set_part> parts);
// The same, with why a compressed part could not be opened.
int set_open(std::vector<set_part> parts, std::string *why);

// What the inflated view of a compressed part found.
struct z_hole {
  int64_t from, to; // uncompressed offsets; -1 when not placed
  std::string why;
};
struct z_info {
  unsigned width = 0;   // bytes of an extent's uncompressed offset
  bool spanning = false;
  int64_t segments = 0, extents = 0;
  int64_t zbytes = 0;   // bytes of the segments
  int64_t size = 0;     // bytes of the uncompressed stream
  // The first Z_HOLES_NAMED found, in that order; after them only counted,
  // so that a volume damaged all through costs no more memory than a whole
  // one.
  std::vector<z_hole> holes;
  int64_t more_holes = 0;
};
constexpr size_t Z_HOLES_NAMED = 1000;
// Null for a part that is not compressed.
const z_info *set_zinfo(int sfd, size_t part);
size_t set_parts(int sfd);
// Inflates every extent of the compressed parts that no read has reached
// yet, so that their holes are all known.
void set_inflate_all(int sfd);
void set_close(int sfd); // img_close does the same for a stream
// A second stream over the same parts, with its own position and views.
int set_dup(int sfd);
// Where the stream's data goes on after a hole at soff: the next extent of
// a compressed part; soff itself where it knows of none.
int64_t set_after_hole(int sfd, int64_t soff);
struct set_place {
  size_t part = 0;
  int64_t off = 0; // offset in that part's image
};
set_place set_locate(int sfd, int64_t soff);
int64_t set_base(int sfd, size_t part); // stream offset of a part's first byte
// Where the bytes readable from off without crossing a barrier end: the
// next barrier or the end of the stream; the size of a plain image.
int64_t img_run_end(int fp, int64_t off);

// ---- image layout and file header -------------------------------------------

constexpr int64_t BLOCK_SIZE = 0x7400;
constexpr size_t HDR_SIZE = 0x90;
constexpr uint32_t HDR_SIG = 0xAA55AA55;
constexpr int64_t VTBL_OFFSET = 0xE800;
constexpr int64_t DATA_START = 0x15C00;

// The first HDR_SIZE bytes of header block 0 or 1:
//   0-3   signature HDR_SIG
//   10-13 total block count (unaligned)
//   40-   text "job, .... disk": job number at 40, disk number 6 bytes
//         after the first ',' found at 40..46
using fheader = std::array<uint8_t, HDR_SIZE>;
constexpr uint32_t hdr_nblk(const fheader &h) { return le32(h.data() + 10); }

std::unique_ptr<fheader> get_fheader(int fp, int ndx, uint16_t mode);
int get_fhead_sdata(const fheader &hdr, uint16_t *job, uint16_t *disk);

// ---- volume table record ------------------------------------------------------

struct __attribute__((packed)) qic_vtbl {
  char tag[4];         // "VTBL", any case
  uint32_t nseg;       // logical segments
  char desc[44];       // label, NUL-padded
  uint32_t date;       // seconds since 1970 UTC
  uint8_t flag;        // flagbits
  uint8_t seq;         // cartridge number in a multi-cartridge set
  uint16_t rev_major;
  uint16_t rev_minor;
  uint8_t vres[14];
  uint32_t start;      // QFA physical start block
  uint32_t end;        // QFA physical end block
  uint8_t passwd[8];
  uint32_t dirSz;      // directory size in bytes
  int64_t dataSz;      // data size in bytes
  uint8_t OSver[2];
  uint8_t sdrv[16];
  uint8_t ldev;
  uint8_t res;
  uint8_t comp;        // non-zero: compressed; 0x80 used, 0x3F type
  uint8_t OStype;
  uint8_t res2[2];
};
static_assert(sizeof(qic_vtbl) == 128);

extern const char *const flagbits[6];
extern const char *const OStype[8];

std::unique_ptr<qic_vtbl> get_vtbl(int fp);
void disp_vtbl(const qic_vtbl &vtbl);
void disp_datetime(uint32_t dt);

// ctime() text of a 32-bit time value, read as unsigned: the fixed
// 24-character local-time form followed by a newline.
struct ctime_text {
  char s[96]; // 25 used; room for what the compiler cannot rule out
};
ctime_text ctime32(uint32_t dt);

} // namespace cartsift
