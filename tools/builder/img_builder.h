// In-memory writer of *.113 images, byte for byte, for the tests, the demo
// images and the benchmarks. It mirrors the tool's decoders but shares none
// of their code or constants, so a wrong offset on either side shows up as a
// failing test instead of cancelling out.
//
// Typical use:
//   build::image img;
//   img.header(0, build::hdr_text(12, 1));
//   img.vtbl({});                                 // ends at the data region
//   size_t cat = build::backup(img, {build::drive_spec("C:"),
//                                    build::file_entry("A.TXT", {}, "hi\r\n", t)});
//   build::finish(img, cat);                      // header and dirSz point at cat
//   img.save(path);
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace cartsift::build {

// Layout values as the format fixes them. Kept in their own namespace so that
// a test may use both this namespace and cartsift's without ambiguity.
namespace layout {
constexpr size_t BLOCK_SIZE = 0x7400;
constexpr size_t HDR_SIZE = 0x90;
constexpr size_t VTBL_OFFSET = 0xE800;
constexpr size_t DATA_START = 0x15C00;
constexpr uint32_t HDR_SIG = 0xAA55AA55;
constexpr uint32_t DIR_SIG = 0x33CC33CC;
constexpr uint32_t FILE_SIG = 0x66996699;

constexpr uint8_t PF_NEW = 0x01;
constexpr uint8_t PF_LAST = 0x08;
constexpr uint8_t PF_END = 0x20;
constexpr uint8_t PF_DRIVE = 0x40;

// DOS attribute bits as the entries carry them.
constexpr uint8_t A_RDONLY = 0x01;
constexpr uint8_t A_VOLUME = 0x08; // drive specs: neither file nor directory
constexpr uint8_t A_SUBDIR = 0x10;
constexpr uint8_t A_ARCHIVE = 0x20;

// File header fields (from the start of header block 0 or 1).
constexpr size_t HDR_NBLK = 10;
constexpr size_t HDR_TEXT = 40;

// Volume table fields (from VTBL_OFFSET).
constexpr size_t VT_NSEG = 4;
constexpr size_t VT_DESC = 8;
constexpr size_t VT_DATE = 52;
constexpr size_t VT_FLAG = 56;
constexpr size_t VT_SEQ = 57;
constexpr size_t VT_START = 76;
constexpr size_t VT_END = 80;
constexpr size_t VT_DIRSZ = 92;
constexpr size_t VT_DATASZ = 96;
constexpr size_t VT_COMP = 124;
constexpr size_t VT_OSTYPE = 125;

// Fields inside unknw1 / unknw2 / unknw3. In a directory entry unknw1 starts
// at byte 4 (after DIR_SIG), in a catalog entry at byte 0.
constexpr size_t U1_PLEN = 10;
constexpr size_t U1_PFLG = 14;
constexpr size_t U1_FLEN = 17;
constexpr size_t U1_ATTRIB = 41;
constexpr size_t U1_T1 = 45;
constexpr size_t U1_T2 = 53;
constexpr size_t U1_T3 = 61;
constexpr size_t U2_T4 = 13;
constexpr size_t U3_TAG = 12;

constexpr size_t TRAILER_SIZE = 18;
constexpr size_t CAT_END_SIZE = 71; // unknw1 and a zero nm1 length word
constexpr size_t END_MARK_SIZE = 73; // zero DIR_SIG and unknw1

// The entry as the QIC-113 standard lays it out (offsets from DIR_SIG; a
// catalog entry is the same from SE_DIR_SIZE on). The fixed layout above is
// the one description list this reading gives for the Windows 95 writers.
constexpr size_t SE_DIR_SIZE = 4;   // 2: bytes from here to the last description's end
constexpr size_t SE_DATA_SIZE = 6;  // 8: the whole entry: header, data, trailer
constexpr size_t SE_PLEN = 14;      // 2
constexpr size_t SE_NATIVE_FS = 16; // 2
constexpr size_t SE_FLAGS = 18;     // 1: traversal flags
constexpr size_t SE_DESCS = 19;     // the data descriptions, one after another
// A description: ID (2), size of the data area it describes (8), structure
// size (2), structure, name size in bytes (2), name.
constexpr size_t DD_HEAD = 12;
constexpr size_t OS_STRUCT = 28;     // Windows 95, NT, OS/2: attributes, three full dates
constexpr size_t DOS_STRUCT = 9;     // attribute byte, modified full date
constexpr size_t VENDOR_STRUCT = 16; // starts with the tag
constexpr size_t UNIX_STRUCT = 32;   // this builder's own choice, see std_layout

// Description IDs.
constexpr uint16_t DD_VENDOR = 0;
constexpr uint16_t DD_UNIX = 1;
constexpr uint16_t DD_DOS = 2;
constexpr uint16_t DD_NOVELL3 = 3;
constexpr uint16_t DD_OS2 = 4;
constexpr uint16_t DD_NT = 5;
constexpr uint16_t DD_AFP = 6;
constexpr uint16_t DD_DATA = 7; // also the data-area ID after FILE_SIG
constexpr uint16_t DD_NOVELL2 = 8;
constexpr uint16_t DD_NOVELL4 = 9;
constexpr uint16_t DD_WIN95 = 10;

// Traversal flags; PF_NEW, PF_LAST, PF_END and PF_DRIVE above are the same
// bits by their older names.
constexpr uint8_t TF_DIR = 0x01;
constexpr uint8_t TF_EMPTY_DIR = 0x02;
constexpr uint8_t TF_FILE_ERROR = 0x04; // the backup program could not read the file
constexpr uint8_t TF_LAST_IN_DIR = 0x08;
constexpr uint8_t TF_LAST_ON_MEDIUM = 0x10;
constexpr uint8_t TF_LAST_IN_SET = 0x20;
constexpr uint8_t TF_ROOT = 0x40;
} // namespace layout

// Seconds since 1970-01-01 00:00:00 UTC of a civil UTC date and time.
uint32_t utc(int year, int month, int day, int hour = 0, int min = 0, int sec = 0);

// A name as 16-bit little-endian characters, no length word: UTF-16LE when
// the string is valid UTF-8 with some non-ASCII character (surrogate pairs
// above U+FFFF), otherwise one character per byte, high byte 0 (latin1).
std::vector<uint8_t> str16(std::string_view s);

// Header text with a job and a disk number the tool can read back: the job
// number at byte 40 and the disk number six bytes after the ',' (with
// "%u, disk %2u" that holds for any job number of up to six digits).
std::string hdr_text(unsigned job, unsigned disk);

struct vtbl_fields {
  std::string label = "cartsift demo";
  uint32_t date = 0;
  uint8_t flag = 0x20; // catalog follows the data
  uint8_t seq = 1;
  uint16_t rev_major = 1, rev_minor = 0;
  uint32_t nseg = 0, start = 0, end = 0;
  uint32_t dirSz = 0;
  int64_t dataSz = 0;
  uint8_t comp = 0;
  uint8_t ostype = 7; // Windows 95
  std::string tag = "VTBL";
};

// Constant, plausible contents of the entry bytes the tool does not
// interpret. The named fields (plen, pflg, flen, attrib, times, tag) are
// written over them.
inline constexpr std::array<uint8_t, 69> DEFAULT_UNKNW1 = {
    0x0b, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, // 0-9
    0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 10-19
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 20-29
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 30-39
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 40-49
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 50-59
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};      // 60-68
inline constexpr std::array<uint8_t, 21> DEFAULT_UNKNW2 = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 0-9
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, // 10-19
    0x00};                                                      // 20
inline constexpr std::array<uint8_t, 28> DEFAULT_UNKNW3 = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // 0-9
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, // 10-19
    0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};            // 20-27

// Which OS description carries the long name (nm1) in a standard entry.
enum class os_desc : uint8_t { win95, nt, os2, unix_, none };

// One more description, written after the others as it is given.
struct extra_desc {
  uint16_t id = 99;
  uint64_t size = 0;         // of the data area it describes
  std::vector<uint8_t> body; // the structure
  std::string name;
};

// How a standard entry lists its descriptions. The default is the list the
// fixed layout holds, byte for byte at the same offsets: data, Windows 95,
// DOS, vendor. The dates come from the entry: t1 created, t2 accessed, t3
// modified (the OS description), t4 modified (the DOS description).
struct std_layout {
  os_desc os = os_desc::win95; // with nm1; none: no OS description, nm1 unused
  bool dos = true;             // with nm2
  bool vendor = true;          // with nm3; its structure is the tag and unknw3[16..27]
  std::vector<extra_desc> extra{};
  uint16_t native_fs = 2;
  // The data description's size when it is not the data written (an image
  // whose data is left as a hole); else flen when set, else data.size().
  std::optional<uint64_t> size{};
};
// The UNIX structure (UNIX_STRUCT bytes) is this builder's own: mode, uid,
// gid, accessed, modified, created (4 bytes each) and 8 zero bytes. A reader
// is to skip it by its size.

// One directory entry and its catalog twin.
struct entry {
  std::string name;                          // nm1
  std::string name2, name3;                  // nm2, nm3
  std::vector<std::string> path;             // components; empty -> plen 4 (root level)
  std::optional<std::vector<uint8_t>> raw_path; // path bytes as-is (overrides path); plen = 4 + size
  std::optional<uint16_t> plen;              // override the written plen word only
  uint8_t pflg = 0, attrib = layout::A_ARCHIVE;
  uint32_t t1 = 0, t2 = 0, t3 = 0, t4 = 0;
  std::vector<uint8_t> data;                 // file data; flen = data.size() unless flen is set
  std::optional<uint32_t> flen;              // override the written flen (data still written as given)
  std::string tag = "OIMG";                  // at unknw3[12..15]; cut or zero-padded to 4 bytes
  int cat_tag_pad = 0;                       // catalog entry only: tag displaced by this many bytes (0..11 read)
  bool trailer = true;                       // write the 18-byte trailer after the data
  std::array<uint8_t, 4> closing_sig = {0x99, 0x66, 0x99, 0x66}; // bytes 2-5 of the closing block
  std::array<uint8_t, 4> trailer_sig = {0x99, 0x66, 0x99, 0x66}; // bytes 0-3 of the trailer
  std::array<uint8_t, 69> unknw1 = DEFAULT_UNKNW1;
  std::array<uint8_t, 21> unknw2 = DEFAULT_UNKNW2;
  std::array<uint8_t, 28> unknw3 = DEFAULT_UNKNW3;
  // Catalog twin only: (position, value) pairs over the 118 unsettled bytes
  // (0-68 unknw1, 69-89 unknw2, 90-117 unknw3), applied after the named
  // fields, so that the catalog can differ from its directory entry.
  // In a standard entry: (offset in the catalog entry, value) pairs.
  std::vector<std::pair<size_t, uint8_t>> cat_patch;
  // Written as the standard lays it out when set (cat_tag_pad, unknw1 and
  // unknw2 are then not used); the fixed layout otherwise.
  std::optional<std_layout> std;
};

// A directory path for the convenience constructors: {} for the root,
// {"DOCS", "LETTERS"}, or one string with '\\' or '/' between components.
struct dir_path {
  std::vector<std::string> parts;
  dir_path() = default;
  dir_path(std::initializer_list<std::string> l) : parts(l) {}
  dir_path(std::vector<std::string> v) : parts(std::move(v)) {}
  dir_path(const char *s);
  dir_path(const std::string &s) : dir_path(s.c_str()) {}
};

// A drive spec (attrib 0x08, PF_DRIVE; PF_NEW when new, PF_LAST when last).
entry drive_spec(std::string name, bool last = true, bool is_new = true);
// A directory (attrib 0x10, no data); all four times t.
entry dir_entry(std::string name, dir_path path, uint32_t t);
// A file with the given contents; all four times t.
entry file_entry(std::string name, dir_path path, std::string_view contents, uint32_t t,
                 uint8_t attrib = layout::A_ARCHIVE);

// The entry as a standard one with the given description list.
entry standard(entry e, std_layout l = {});
// A standard file entry with three distinct dates; the DOS description's
// date is the modified one.
entry std_file(std::string name, dir_path path, std::string_view contents, uint32_t created,
               uint32_t accessed, uint32_t modified, uint8_t attrib = layout::A_ARCHIVE);

// Bytes the entry's path occupies (components joined by zero characters).
std::vector<uint8_t> path_bytes(const entry &e);
// The plen word as written.
uint16_t plen_of(const entry &e);
// The flen word as written (a standard entry's: its size's low half).
uint32_t flen_of(const entry &e);
// A standard entry's data description size (std.size, flen or data.size()).
uint64_t size_of(const entry &e);
// Header bytes written for the entry: 138 + N1 + N2 + N3 + path bytes
// (N: a name's bytes as str16 writes it); a standard entry's:
// cat_len + 14 + path bytes.
size_t header_len(const entry &e);
// Catalog entry length: 124 + N1 + N2 + N3 + cat_tag_pad; a standard
// entry's: its directory entry size word, 15 + its descriptions.
size_t cat_len(const entry &e);

class image {
public:
  std::vector<uint8_t> b; // the bytes; tests may mutate them

  size_t size() const { return b.size(); }

  // Appending writers.
  void u8(uint8_t v);
  void u16(uint16_t v);
  void u32(uint32_t v);
  void u64(uint64_t v);
  void raw(std::span<const uint8_t> s);
  void raw(std::string_view s);
  void ustr(std::string_view s); // length word (bytes), then str16(s)

  // In-place patches and reads; the image grows when a patch lies past its end.
  void put_u8(size_t off, uint8_t v);
  void put_u16(size_t off, uint16_t v);
  void put_u32(size_t off, uint32_t v);
  void put_u64(size_t off, uint64_t v);
  uint16_t get_u16(size_t off) const;
  uint32_t get_u32(size_t off) const;

  // Appends fill up to off; throws when the image is already longer.
  void pad_to(size_t off, uint8_t fill = 0);

  // Header blocks 0 and 1 (identical): signature, block count, text at 40.
  // The image grows to at least two whole blocks.
  void header(uint32_t nblk, std::string_view text);
  // The volume table at VTBL_OFFSET; the image is then padded with zeros up
  // to DATA_START when it is shorter, so the entries can follow at once.
  void vtbl(const vtbl_fields &v);

  // Directory entry at the current end: header, data, trailer. Returns its offset.
  size_t dir_entry(const entry &e);
  // Only the header of a directory entry (for data split across images).
  size_t dir_header(const entry &e);
  // Only the 18-byte trailer.
  void trailer(const entry &e);
  // Catalog entry at the current end; returns its offset.
  size_t cat_entry(const entry &e);
  // Catalog end marker: 69 bytes and a zero length word.
  void cat_end();
  // 73 zero bytes where the next DIR_SIG would stand.
  void end_of_entries();

  // First BLOCK_SIZE boundary strictly after size().
  size_t next_block() const;

  // Throws std::runtime_error when the file cannot be written.
  void save(const std::string &path) const;

private:
  void entry_body(const entry &e, bool catalog); // unknw1 .. nm3
  void std_body(const entry &e, bool catalog);   // directory entry size .. last description
};

// A whole backup from the current end: the entries (PF_END or'ed into the
// last), zeros to the next block boundary, then the catalog of the same
// entries and its end marker. Returns the catalog offset; entry_offs, when
// given, receives each entry's offset.
size_t backup(image &img, std::vector<entry> entries, std::vector<size_t> *entry_offs = nullptr);

// Pads the image to whole blocks and sets the header block count (both
// header blocks) and the volume table's dirSz so that the tool's computed
// catalog offset, (nblk - ceil(dirSz / BLOCK_SIZE)) * BLOCK_SIZE, equals
// cat_off. dirSz becomes the byte count from cat_off to the unpadded end.
// cat_off must be a block boundary not past the end.
void finish(image &img, size_t cat_off);

// A backup that spans two images. Image 1 holds `before` and the start of
// `spanning`'s data up to a block boundary, which is also its end and its
// computed catalog offset (dirSz 0). Image 2 starts its data region with the
// rest of that data, then the trailer, then `after` (PF_END on the last, or on
// `spanning` when `after` is empty), then the catalog of all the entries.
// Both volume tables get vt.flag | 0x02, seq 1 and 2; the headers carry the
// job number and disks 1 and 2.
struct image_pair {
  image first, second;
  size_t data_off = 0;  // first byte of the spanning file's data in image 1
  size_t split = 0;     // how many of its bytes image 1 holds
  size_t cat_off = 0;   // the catalog in image 2
  std::vector<size_t> first_offs, second_offs; // entry offsets in each image
};
// The split lands on the first block boundary that leaves at least
// min_in_first bytes (and at least one) of the file in image 1; throws when
// the file's data ends before it.
image_pair spanning_set(const vtbl_fields &vt, unsigned job, std::vector<entry> before,
                        entry spanning, std::vector<entry> after, size_t min_in_first = 1);

// A backup written across several images, one per cartridge.
struct image_set {
  struct place {
    size_t image = 0; // index into images
    size_t off = 0;
  };
  std::vector<image> images;
  std::vector<place> entries; // where each entry's header starts, in stream order
  size_t cat_off = 0;         // the catalog, in the last image
};

// The entries (PF_END or'ed into the last) as one stream cut into images:
// image k < N holds data_blocks[k] whole blocks of it, from DATA_START to
// its end, which is also its computed catalog offset (dirSz 0); the stream
// goes on at DATA_START of the next image, wherever the cut fell (inside a
// header, data or a trailer). The last image holds the rest, then, as
// `backup` lays it out, the catalog of all the entries. The volume tables
// get vt.flag | 0x02 and seq 1..N, the headers job and disks 1..N. Throws
// when an image would get no byte of the stream.
image_set split_backup(const vtbl_fields &vt, unsigned job, std::vector<entry> entries,
                       const std::vector<size_t> &data_blocks);

// A set of n >= 2 images across all of which the data of entries[spanning]
// runs: image 1 ends on the first block boundary that leaves at least
// min_in_first bytes (and at least one) of it there, images 2..n-1 hold
// middle_blocks blocks of it each, and at least one byte is left for image
// n. Throws when the data is too short for that.
image_set spanning_images(const vtbl_fields &vt, unsigned job, std::vector<entry> entries,
                          size_t spanning, size_t n, size_t min_in_first = 1,
                          size_t middle_blocks = 1);

// ---- images written straight to a file ---------------------------------------

class seg_writer;
struct comp_options;

// Writes an image to a file as it goes, for images too large to hold in
// memory (the benchmarks, images over 4 GiB). The small parts are composed by
// `image` and appended; file data comes from a callback slice by slice; zeros
// may be left as holes, so a sparse image of many GiB costs no disk.
// Offsets are 64-bit throughout. Throws std::runtime_error when a write fails.
class file_image {
public:
  // Fills out with the data bytes that start at `at` inside the file's data.
  using fill_fn = std::function<void(uint64_t at, std::span<uint8_t> out)>;

  explicit file_image(const std::string &path); // created or truncated
  ~file_image();                                // closes; errors are lost: call close()
  file_image(const file_image &) = delete;
  file_image &operator=(const file_image &) = delete;

  // Between begin_compressed() and end_compressed(), the offset the
  // uncompressed twin would be at.
  uint64_t size() const { return comp_ ? vend_ : end_; }
  uint64_t next_block() const { return (size() / layout::BLOCK_SIZE + 1) * layout::BLOCK_SIZE; }

  void raw(std::span<const uint8_t> s);
  void fill(uint64_t n, const fill_fn &f); // n generated bytes
  void hole(uint64_t n);                   // n zero bytes, not written
  void pad_to(uint64_t off);               // a hole up to off; throws when already past
  void put_u32(uint64_t off, uint32_t v);  // patch bytes already appended

  // Header blocks 0 and 1 and the volume table, zeros up to DATA_START.
  void start(uint32_t nblk, std::string_view text, const vtbl_fields &v);
  // As image::dir_entry, data from e.data.
  uint64_t dir_entry(const entry &e);
  // n data bytes from f (or a hole when f is empty); flen is n unless e.flen
  // says otherwise, and a standard entry's size n unless it has one. Only a
  // standard entry takes 4 GiB or more. Returns the entry's offset.
  uint64_t dir_entry(const entry &e, uint64_t n, const fill_fn &f);
  // As image::dir_header and image::trailer, for data split across images.
  uint64_t dir_header(const entry &e);
  void trailer(const entry &e);
  uint64_t cat_entry(const entry &e);
  void cat_end();
  void end_of_entries();
  // As build::finish: block count and dirSz so that the computed catalog
  // offset is cat_off.
  void finish(uint64_t cat_off);

  // A compressed volume written as it goes (layout: see compress_image).
  // Right after start(), begin_compressed() makes everything appended up to
  // end_compressed() the uncompressed stream, framed and packed into
  // segments one frame at a time; offsets meanwhile are the twin's. Then
  // end_compressed() writes the last segment and sets the volume table's
  // comp, flag and dataSz (the stream's size, returned); the catalog is
  // appended after it as usual and finish() points at it. The catalog
  // inside the stream is not offered here.
  void begin_compressed(const comp_options &o);
  uint64_t end_compressed();

  void close(); // flushes, sets the length (a trailing hole), closes

private:
  void append(const image &part) { raw(part.b); }
  void emit(std::span<const uint8_t> s); // to the file itself
  void put_bytes(uint64_t off, const uint8_t *b, size_t n);
  // Lets the in-memory builder write one small part, appends it and returns
  // the offset where it starts.
  template <class F> uint64_t compose(F &&write) {
    const uint64_t at = size();
    image part;
    write(part);
    append(part);
    return at;
  }
  void flush();

  int fd_ = -1;
  std::string path_;
  std::vector<uint8_t> pend_; // bytes not yet written, from pend_at_
  uint64_t pend_at_ = 0;
  uint64_t end_ = 0;
  std::unique_ptr<seg_writer> comp_;
  bool spanning_ = false;
  uint64_t vend_ = 0; // the twin's offset while compressing
  uint8_t vflag_ = 0; // the volume table's flag byte as start() wrote it
};

// ---- compressed volumes ---------------------------------------------------

// A compressed volume (volume table comp 0x81) holds the data region of its
// uncompressed twin as one byte stream, the "uncompressed stream": offset 0
// is the byte an uncompressed image has at DATA_START. Layout written here:
//
//   [0, DATA_START)  headers and volume table as in the twin, except:
//                    vtbl comp = 0x81, vtbl dataSz = the data region's size,
//                    vtbl flag | 0x10 in the spanning layout, and the header
//                    block count (both blocks) and dirSz set as below.
//   DATA_START on    segments of BLOCK_SIZE bytes, as many as the stream takes.
//   after them       the catalog bytes as the twin has them; nblk and dirSz
//                    make the computed catalog offset point there. With
//                    catalog_in_stream the catalog instead follows the data in
//                    the stream (its start is dataSz); nothing follows the
//                    segments, nblk counts the whole image and dirSz is left
//                    as the catalog's size, so the computed offset lands
//                    inside the segments and holds no catalog.
//
// An extent: the stream offset of its first byte (the sum of the output of
// all earlier extents), offset_width bytes little-endian, then frames back to
// back. A frame: a 16-bit little-endian size n, then n bytes of one LZ stream
// (history reset), or with bit 15 set n & 0x7FFF bytes stored as they are
// (when compressing does not pay). A frame takes as much of the stream as
// fits: frame_in (<= FRAME_OUT_MAX) bytes at most, and no more than its own
// 0x7FFF bytes (non-spanning: the segment's space left) can hold.
//
// Non-spanning: each segment holds one extent from byte 0. Frames follow
// while at least EXTENT_MIN_LEFT bytes are left; a frame's size is cut to
// fit the space left. Zero fill after the last frame (a zero size word
// whenever two bytes are left).
//
// Spanning (vtbl flag 0x10): each segment starts with a 16-bit little-endian
// offset of the first extent that begins in it, 0 when none does (the whole
// segment continues an earlier extent). An extent's bytes run on from a
// segment's last byte to byte 2 of the next, so a frame (its size word too)
// may straddle segments. An extent holds extent_frames frames and ends with a
// zero size word; it ends earlier when a frame leaves fewer than
// EXTENT_MIN_LEFT bytes in its segment, and then the rest is fill. A new
// extent starts in the same segment only when offset_width + EXTENT_MIN_LEFT
// bytes are left after the zero word; otherwise at byte 2 of the next.
// So no frame's size word ever starts in a segment's last 17 bytes.
namespace layout {
constexpr size_t FRAME_OUT_MAX = 63488;
constexpr uint16_t FRAME_STORED = 0x8000;
constexpr size_t FRAME_SIZE_MAX = 0x7FFF;
constexpr size_t EXTENT_MIN_LEFT = 18;
constexpr uint8_t COMP_QIC122 = 0x81;
constexpr uint8_t VF_SPAN = 0x10;
} // namespace layout

// One LZ stream (QIC-122): literals and copies from up to 2047 bytes back,
// closed by the end marker. Encodes the longest prefix of `in` whose stream
// fits in max_out bytes (at least 2), appends the stream to out and returns
// the prefix's length. Hash chains over 2-byte keys; lazy matching tries the
// next position before taking a match.
size_t lz_compress(std::span<const uint8_t> in, size_t max_out, std::vector<uint8_t> &out,
                   bool lazy = true);
// All of `in` as one stream.
std::vector<uint8_t> lz_compress(std::span<const uint8_t> in, bool lazy = true);

// Hash chains an encoder keeps from one stream to the next. Positions are
// global across streams: a stream starts at `base`, so an entry below it is
// stale and nothing is cleared between streams.
struct lz_state {
  std::vector<uint32_t> head = std::vector<uint32_t>(1 << 16, 0); // by 2-byte key
  std::array<uint32_t, 2048> prev{}; // by position mod 2048: the window's span
  uint32_t base = 1;
};
size_t lz_compress(lz_state &st, std::span<const uint8_t> in, size_t max_out,
                   std::vector<uint8_t> &out, bool lazy = true);

struct comp_options {
  unsigned offset_width = 8;              // 8, or 4 as some software writes it
  bool spanning = false;                  // flag 0x10 layout
  bool catalog_in_stream = false;         // the catalog follows the data in the stream
  size_t frame_in = layout::FRAME_OUT_MAX; // output bytes per frame, 1..FRAME_OUT_MAX
  size_t extent_frames = 3;               // spanning: frames per extent
  bool lazy = true;
};

// The segments of a compressed volume, written as the stream's bytes come in;
// it holds one frame's input and one segment at a time. Each finished segment
// (BLOCK_SIZE bytes) goes to the sink.
class seg_writer {
public:
  using sink_fn = std::function<void(std::span<const uint8_t> segment)>;
  seg_writer(const comp_options &o, sink_fn sink);
  ~seg_writer();
  seg_writer(const seg_writer &) = delete;
  seg_writer &operator=(const seg_writer &) = delete;

  void write(std::span<const uint8_t> data);
  void finish(); // the last frames and the last segment

  uint64_t stream_size() const { return in_; }
  uint64_t segments() const { return nseg_; }

private:
  void frame();
  void open_extent();
  void close_extent();
  void put(const uint8_t *p, size_t n);
  void start_segment();
  void end_segment();

  comp_options o_;
  sink_fn sink_;
  std::unique_ptr<lz_state> lz_;
  std::vector<uint8_t> pend_, seg_, tmp_;
  size_t head_ = 0;       // first unframed byte in pend_
  size_t pos_ = 0;        // next byte in seg_
  bool seg_open_ = false, ext_open_ = false;
  size_t ext_frames_ = 0; // frames in the open extent
  uint64_t in_ = 0, out_ = 0, nseg_ = 0; // stream bytes taken, framed; segments done
};

// The compressed twin of an uncompressed image (its header block count and
// dirSz locate its catalog, as finish() sets them), laid out as above.
image compress_image(const image &plain, const comp_options &o = {});

// The benchmark images that `mkimage bench` writes (see bench.cpp and
// bench/run), each with the same bytes in a form a standard tool reads.
struct tree_counts {
  uint64_t files = 0, dirs = 0, bytes = 0;
};
// `files` files of `bytes` in all, 100 to a directory three levels deep below
// drive C:, as an image and as a tar of the same files (C: as C_, the way
// extraction names it); with zimg_path, also as a compressed image.
tree_counts bench_tree(const std::string &img_path, const std::string &tar_path, uint32_t files,
                       uint64_t bytes, const std::string &zimg_path = "");
// One file of `bytes` bytes, as an image and as a plain copy of its data.
void bench_big(const std::string &img_path, const std::string &copy_path, uint64_t bytes);
// The same file as a compressed image, and its uncompressed stream (the
// twin's data region) as a plain file.
void bench_zbig(const std::string &img_path, const std::string &stream_path, uint64_t bytes);
// Drive C: with one file of `bytes` bytes whose data runs across three
// images, <img_prefix>-1.113 to -3.113 (the catalog in the third), and a
// plain copy of its data; with z, each image compressed that way.
void bench_set3(const std::string &img_prefix, const std::string &copy_path, uint64_t bytes,
                const comp_options *z = nullptr);
// `entries` entries for the memory cases: drive C:, then directories at
// the root holding 999 files each, most of them empty; with zimg_path, also
// as a compressed image.
tree_counts bench_many(const std::string &img_path, uint32_t entries,
                       const std::string &zimg_path = "");
// Drive C: and `dirs` directories with 250-character names, a thousand to a
// directory at the root.
tree_counts bench_long_dirs(const std::string &img_path, uint32_t dirs);
// Two small files with `junk` bytes of foreign data between them, which a
// walk crosses by searching for the second entry's signature.
void bench_junk(const std::string &img_path, uint64_t junk);

// The demo images that `mkimage demo` writes (see demo.cpp).
image demo_image();
image_pair demo_pair();
std::vector<image> demo_set();
// How demo-z1.113 .. demo-z3.113 compress cartridge i (0-based) of the set:
// a different layout on each, as tapes written by different software.
comp_options demo_set_layout(size_t i);
// The entries demo_set writes, in stream order (what extracting it restores;
// the one flagged TF_FILE_ERROR only when partial files are kept).
std::vector<entry> demo_set_entries();

// Names Windows cannot hold as they are, case twins and hostile paths in one
// image; a path of over 400 characters in another (names.cpp).
image awkward_names_image();
image long_path_image();

} // namespace cartsift::build
