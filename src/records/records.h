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

// A catalog read entry by entry from fp's position. Each entry lasts until
// the next is read.
class cat_reader {
public:
  explicit cat_reader(int fp) : fp_(fp) {}
  // The next entry; null at the end marker or at the first entry that
  // cannot be read.
  cat_head *next() {
    code_ = get_cheader(fp_, &ch_);
    if (code_ <= CH_END)
      return nullptr;
    n_++;
    return &ch_;
  }
  // get_cheader's last result: the entry's length, or why the reading stopped.
  int code() const { return code_; }
  bool whole() const { return code_ == CH_END; } // it stopped at the end marker
  size_t count() const { return n_; }            // entries read

private:
  int fp_;
  int code_ = CH_END;
  size_t n_ = 0;
  cat_head ch_;
};

} // namespace cartsift
