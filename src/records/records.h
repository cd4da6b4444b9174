// Entry records: length-prefixed 16-bit strings, the directory entry of the
// data region and the catalog entry, each read into a record that owns its
// strings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "image/image.h"

namespace cartsift {

// ---- length-prefixed 16-bit strings --------------------------------------

// On disk: a 16-bit byte count, then that many bytes of 16-bit little-endian
// characters (an odd count is kept as it is). Printing keeps the low byte of
// every character.
struct uni_str {
  uint16_t len = 0;
  std::unique_ptr<uint8_t[]> ustr; // len bytes, never null
  size_t cap = 0; // bytes ustr holds, when a reader may fill it again
};
using uni_ptr = std::unique_ptr<uni_str>;

uni_ptr get_unistr(int fp);
// The same into s, in the buffer it already has when that is big enough:
// a walk reads hundreds of thousands of names. False, with s reset, on
// failure.
bool read_unistr(int fp, uni_ptr &s);
// Makes s hold len bytes, keeping its buffer when that is big enough; where
// they go.
uint8_t *uni_fit(uni_ptr &s, uint16_t len);
uni_ptr dup_uni_str(const uni_str &us);
void disp_uni_str(const uni_str &s);
void disp_uni_path(const uni_str &s); // zero characters print as "/"

// The characters are UTF-16LE. next_utf16 decodes the one at byte i of
// p[0..n) into *c and returns where the next begins; a surrogate without
// its partner, and a lone last byte, decode as U+FFFD.
size_t next_utf16(const uint8_t *p, size_t n, size_t i, char32_t *c);
// Appends c as UTF-8; a surrogate or a value past U+10FFFF goes out as U+FFFD.
void put_utf8(std::string &to, char32_t c);
std::string utf8_of(const uni_str &s);

// ---- directory entry ---------------------------------------------------------

constexpr uint32_t DIR_SIG = 0x33CC33CC;
constexpr uint32_t FILE_SIG = 0x66996699;
constexpr uint8_t PF_NEW = 0x01;
constexpr uint8_t PF_LAST = 0x08;
constexpr uint8_t PF_END = 0x20;
constexpr uint8_t PF_DRIVE = 0x40;

// Entry header, offsets from its first byte (N1..N3 the name lengths, P the
// path bytes: plen - 4 when plen > 4, else 0):
//   0                  DIR_SIG (0 marks the end of the entries)
//   4                  unknw1[69]
//   73                 nm1
//   75+N1              unknw2[21]
//   96+N1              nm2
//   98+N1+N2           unknw3[28], "OIMG" at 12..15
//   126+N1+N2          nm3
//   128+N1+N2+N3       2 bytes
//   130+N1+N2+N3       path characters, no length word
//   130+N1+N2+N3+P     closing block, FILE_SIG at 2..5
// then flen bytes of file data and an 18-byte trailer opening with FILE_SIG.
struct dir_head {
  uint32_t dsig = 0;
  uint8_t unknw1[69] = {};
  uni_ptr nm1;
  uint8_t unknw2[21] = {};
  uni_ptr nm2;
  uint8_t unknw3[28] = {};
  uni_ptr nm3;
  uni_ptr path; // null when plen <= 4
};

// Fields with a meaning inside unknw1, shared by both entry kinds.
inline uint16_t ent_plen(const uint8_t *u1) { return le16(u1 + 10); }
inline uint8_t ent_pflg(const uint8_t *u1) { return u1[14]; }
inline uint32_t ent_flen(const uint8_t *u1) { return le32(u1 + 17); }
inline uint8_t ent_attrib(const uint8_t *u1) { return u1[41]; }
inline uint32_t ent_time1(const uint8_t *u1) { return le32(u1 + 45); }
inline uint32_t ent_time2(const uint8_t *u1) { return le32(u1 + 53); }
inline uint32_t ent_time3(const uint8_t *u1) { return le32(u1 + 61); }
inline uint32_t ent_time4(const uint8_t *u2) { return le32(u2 + 13); }

// What get_dheader found. The numbers are those the classic listing prints
// and returns.
enum dh_code : int {
  DH_OK = 0,       // header read; the position is at the file data
  DH_END = 1,      // the end-of-entries marker
  DH_SHORT = -1,   // a short read, or the bytes are not an entry
  DH_NAME = -2,    // a name or the path could not be read
  DH_NOCLOSE = -3, // no FILE_SIG closes the header
};
[[nodiscard]] dh_code get_dheader(int fp, dir_head *dh);
void free_dhead(dir_head *dh);

// ---- entries as the QIC-113 standard lays them out ---------------------------
//
// After the fixed portion (DIR_SIG; sizes of the directory entry and of the
// whole entry; plen at 14; the native file system; the traversal flags at
// 18) comes a list of data descriptions, each an ID (2 bytes), the size of
// the data area it describes (8), a structure (2-byte size, then its bytes)
// and a name (2-byte size in bytes, then UTF-16LE). The fixed layout above
// is one such list: data, Windows 95, DOS, vendor. Entries that do not read
// this way are read by the fixed layout, as they always were.

enum desc_id : uint16_t {
  DESC_VENDOR = 0,
  DESC_UNIX = 1,
  DESC_DOS = 2,
  DESC_NOVELL3 = 3,
  DESC_OS2 = 4,
  DESC_NT = 5,
  DESC_AFP = 6,
  DESC_DATA = 7,
  DESC_NOVELL2 = 8,
  DESC_NOVELL4 = 9,
  DESC_WIN95 = 10,
};
// Traversal flags beyond those the walk steps by.
constexpr uint8_t PF_EMPTY_DIR = 0x02;
constexpr uint8_t PF_FILE_ERROR = 0x04; // the backup program could not read the file
constexpr uint8_t PF_MEDIUM_END = 0x10; // last entry on this cartridge

// What an entry says of its file, read either way. Dates are seconds since
// 1970 UTC, 0 where unknown.
struct entry_info {
  bool standard = false;
  int64_t size = 0; // of the file data; 64-bit by the standard
  uint8_t attrib = 0;
  uint32_t mtime = 0, atime = 0, ctime = 0;
  // Both descriptions' modification dates, when both are there.
  bool both_mtimes = false;
  uint32_t os_mtime = 0, dos_mtime = 0;
  bool has_short = false; // the DOS name (nm2) is there
};

// Reads the entry at fp's position by the standard: the name into nm1 (the
// first non-empty OS name, else the DOS one), the DOS name into nm2, the
// vendor's into nm3, and the path. True, with the position at the file
// data, when the list completes and holds a data description; otherwise
// false, with the position anywhere. The fixed portion's bytes go to dsig
// and unknw1 as far as they reach.
[[nodiscard]] bool get_dentry_std(int fp, dir_head *dh, entry_info *info);
// What an entry read by the fixed layout says: nm1, the first time value
// and the 32-bit size.
entry_info fixed_info(const uint8_t *u1);

// ---- catalog entry -------------------------------------------------------------

// A catalog entry is the directory entry's body without DIR_SIG, path and
// closing block. Its tag may stand up to 11 bytes late; the entry is then
// that much longer. The catalog ends with an entry whose nm1 is empty.
struct cat_head {
  uint8_t unknw1[69] = {};
  uni_ptr nm1;
  uint8_t unknw2[21] = {};
  uni_ptr nm2;
  uint8_t unknw3[28] = {};
  uni_ptr nm3;
};

// get_cheader's failures; a read entry gives its length, 124 or more.
enum ch_code : int {
  CH_END = 1,     // the end marker
  CH_SHORT = -1,  // a short read
  CH_NAME = -2,   // a name could not be read
  CH_NOTAG = -3,  // no tag where one must stand
};
// Entry length (124 or more), CH_END at the end marker, 0 or a ch_code
// below zero on failure.
[[nodiscard]] int get_cheader(int fp, cat_head *ch);
void free_chead(cat_head *ch);
// get_dentry_std of a catalog entry, whose directory entry size (its first
// two bytes) must agree with the descriptions read.
[[nodiscard]] bool get_centry_std(int fp, cat_head *ch, entry_info *info);

// A catalog read entry by entry from fp's position. Each entry lasts until
// the next is read.
class cat_reader {
public:
  // by_standard: each entry is read by the standard first (see info()).
  explicit cat_reader(int fp, bool by_standard = false) : fp_(fp), std_(by_standard) {}
  // The next entry; null at the end marker or at the first entry that
  // cannot be read.
  cat_head *next();
  const entry_info &info() const { return info_; } // the last entry's
  // get_cheader's last result: the entry's length, or why the reading stopped.
  int code() const { return code_; }
  bool whole() const { return code_ == CH_END; } // it stopped at the end marker
  size_t count() const { return n_; }            // entries read

private:
  int fp_;
  bool std_;
  int code_ = CH_END;
  size_t n_ = 0;
  cat_head ch_;
  entry_info info_;
};

} // namespace cartsift
