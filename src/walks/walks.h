// Data region and catalog walks: the listing of the data region (with its
// extraction step), the survey of a whole image and the catalog listing.
#pragma once

#include <cstdint>
#include <memory>

#include "extract/extract.h"
#include "records/records.h"

namespace cartsift {

constexpr int MAX_DRV = 6;

// Entries saved by the data-region walk in test mode, in walk order.
struct dir_list {
  int32_t cnt = 0;  // number in the listing, from 1
  int64_t off = 0;  // offset of the entry's DIR_SIG
  dir_head dhead;   // owns its strings
  std::unique_ptr<dir_list> next;
  dir_list() = default;
  dir_list(const dir_list &) = delete;
  dir_list &operator=(const dir_list &) = delete;
  ~dir_list(); // unlinks iteratively: lists can be long
};

// Entries saved by the catalog listing in test mode.
struct cat_list {
  int cnt = 0;
  int64_t off = 0; // offset of the catalog entry
  cat_head chead;
  std::unique_ptr<cat_list> next;
  cat_list() = default;
  cat_list(const cat_list &) = delete;
  cat_list &operator=(const cat_list &) = delete;
  ~cat_list();
};

// ---- the entry walk ---------------------------------------------------------

// The stepping, drive logic, trailer checks and resynchronisation of the
// data region exist once, here; the classic listing and the everyday
// commands are faces over it. The walk reads through img_* calls, so the
// same walk runs over one image or a set's stream.

// Where the two faces differ.
struct walk_rules {
  // A drive change applies to the root-level entry that causes it. The
  // classic listing applies it from the next entry on.
  bool drive_now = false;
  // Unreadable entries and bad trailers are reported and passed over by a
  // search for the next entry, data that stops at a barrier resumes after
  // it, and a backup's end is not the walk's end.
  bool go_on = false;
  // Entries are read as the QIC-113 standard lays them out where they
  // read that way (see get_dentry_std), else by the fixed layout.
  bool by_standard = false;
};

// One entry as the walk yields it. The record is the walk's until done().
struct walk_entry {
  int cnt = 0;       // number in the walk, from 1
  int backup = 1;    // which backup of the stream, from 1
  int64_t off = 0;   // its DIR_SIG
  int64_t data = 0;  // first byte of its file data
  int64_t avail = 0; // data bytes readable before a barrier or the end
  int64_t flen = 0;  // of the file data
  uint16_t plen = 0;
  uint8_t pflg = 0;
  // go_on only: the trailer after the data, known once the data step is
  // over (or sooner, where the face asked with get_trailer); unknown where
  // the data stops at a barrier, and in the classic walk.
  enum class trailer_state { unknown, ok, bad, missing } trailer = trailer_state::unknown;
  const uni_str *drive = nullptr; // the drive it belongs to; null before any drive spec
  dir_head dh;
  entry_info info; // what the entry says of its file, read either way
};

enum class data_use { skip, consumed, failed };

// What a face does with the entries, and the events it may report. Only
// entry() must be given.
class walk_visitor {
public:
  virtual ~walk_visitor() = default;
  virtual void entry(walk_entry &e) = 0;
  // Every entry with data: consumed leaves the position after what was
  // read; skip has the walk seek over the data.
  virtual data_use data(walk_entry &) { return data_use::skip; }
  virtual void drive_overflow() {}
  virtual void last_drive(int /*ndrv*/, const uni_str * /*cur*/) {}
  virtual void drive_change(const uni_str * /*to: null when none is left*/) {}
  virtual void end_flag(const walk_entry &) {}
  virtual void bad_trailer(const walk_entry &, int64_t /*at*/, const uint8_t *, int64_t /*n*/) {}
  virtual void skip_ahead(int64_t /*expected*/, int64_t /*found*/) {}
  virtual void skip_failed() {}
  virtual void seek_failed() {}
  // After the entry's trailer, when the walk stands at the next entry.
  virtual void done(walk_entry &) {}
  // go_on only: an entry that could not be read (code of get_dheader) and
  // where the walk goes on (-1: nowhere); the walk passing a barrier, from
  // its offset to the next entry found after it (-1: none).
  virtual void unreadable(int64_t /*off*/, dh_code /*code*/, int64_t /*resume*/) {}
  virtual void resumed(int64_t /*from*/, int64_t /*at*/) {}
  // Asked after each entry(): false ends the walk there.
  virtual bool more() const { return true; }
};

// Why a walk ended.
enum class walk_end {
  no_start,    // the position could not be read before the first entry
  whole,       // after a whole entry: PF_END, or nothing more to read
  end_marker,  // the end-of-entries marker
  not_entry,   // get_dheader: DH_SHORT
  bad_name,    // get_dheader: DH_NAME
  no_close,    // get_dheader: DH_NOCLOSE
  stopped,     // the visitor's data step failed
  skip_failed, // seeking over file data failed
  bad_trailer, // classic only: the trailer is not after the data
  seek_failed, // the next entry's place cannot be reached
};

struct walk_result {
  walk_end end = walk_end::no_start;
  int cnt = 0;     // entries yielded
  int64_t off = 0; // start of the entry in hand at the end
};

// The classic listing's number for how its walk ended: the entry count's
// stand-in 0 or 1, or the negative code it prints and returns.
int classic_code(walk_end end);

// Walks from the current position of fp.
walk_result walk_entries(int fp, const walk_rules &rules, walk_visitor &v);

// Reads the trailer after e's data into e.trailer and leaves the position
// where it was: for a face that must know whether the entry's size held
// before it keeps what it wrote. Cheapest just after the data.
void get_trailer(int fp, walk_entry &e);

// Lists the data region from soff; entries listed, or a negative code.
int parse_ucomp(int fp, uint16_t mode, int64_t soff, int64_t cats,
                std::unique_ptr<dir_list> *ptrl, const char *xpath, int32_t maxx,
                int32_t dbcnt);

// Surveys the whole image: backups, their counts and catalogs.
int parse_image(int fp, uint16_t mode, const fheader *hdr, const qic_vtbl *vtbl);

// Lists the catalog at off, mapping entries to the data region from doff
// when doff is not negative.
int parse_cat(int fp, uint16_t mode, std::unique_ptr<cat_list> *ptrl, int64_t off,
              int64_t doff);

} // namespace cartsift
