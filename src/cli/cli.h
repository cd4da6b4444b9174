// The everyday face: --list, --extract, --test and --info over every image
// of a set, with UTF-8 names, plain and JSON listings. Listings and data go
// to standard output, messages to standard error; the status is 0, 1 when
// something was skipped or damaged, 2 when the run could not start.
#pragma once

#include <cstdint>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "set/set.h"
#include "walks/walks.h"

namespace cartsift::cli {

// True when an argument is exactly one of the four commands.
bool wanted(int argc, char **argv);
int everyday_main(int argc, char **argv);
// The everyday part of --help, which comes first.
void help(FILE *to);

enum class command { none, list, extract, test, info, inflate };

struct options {
  command cmd = command::none;
  bool verbose = false, json = false, quiet = false;
  bool raw_names = false, as_given = false;
  bool overwrite = false, to_stdout = false, keep_partial = false;
  std::string dir = ".";
  bool dir_given = false;
  std::vector<std::string> include, exclude;
  std::vector<std::string> images;
};

// ---- messages --------------------------------------------------------------

// Counts what went wrong and says so on standard error, "cartsift: " first.
// In --test --json the problems are JSON objects on standard output instead.
struct reporter {
  bool json_problems = false;
  int problems = 0; // damage found in the set
  int skipped = 0;  // entries passed over on purpose: kept, unsafe, refused
  // Something has been written below the output directory: from then on a
  // failure can no longer mean that nothing was done.
  bool wrote = false;
  // A set could not be opened because an image is cut before its volume
  // table: damage --test has found, though nothing can be read.
  bool cut_before_vtbl = false;
  void warn(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  // One problem at an image offset (image empty: none).
  void problem(const std::string &image, int64_t off, const std::string &kind,
               const char *fmt, ...) __attribute__((format(printf, 5, 6)));
  void skip(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
};
extern reporter rep;

// ---- the set -------------------------------------------------------------------

struct image_info {
  std::string path;
  fheader hdr{};
  qic_vtbl vt{};
  int64_t size = 0;
  int64_t hdr_size = 0;   // what the header's block count gives
  int64_t cats = 0;       // computed catalog offset
  int64_t data_end = 0;   // end of its data region
  uint16_t job = 0, disk = 0;
  int njd = 0;            // how many of job and disk the header text gave
  bool compressed = false;
  bool cat_stored = false; // compressed: the catalog lies uncompressed at cats
  bool gap_before = false;
  // Shorter than its header says, and cut before its data region ends:
  // nothing of the next image joins on to its last bytes.
  bool data_cut = false;
  bool truncated() const { return size < hdr_size; }
};

struct cart_set {
  std::vector<image_info> images; // in cartridge order
  std::vector<unsigned> missing;  // sequence numbers not given
  int sfd = -1;                   // the stream over their data regions
  int64_t total = 0;              // its length
  ~cart_set();
};

// Opens, checks and orders the images; nullptr after its one line.
std::unique_ptr<cart_set> open_set(const options &o);

// ---- entries as the everyday face names them -----------------------------------

enum class kind { drive, dir, file };
kind kind_of(const walk_entry &e);
// The backup program could not read the file when the backup was made.
bool file_error(const walk_entry &e);
// Whether the OS and DOS modification dates are within the 2 seconds of
// the DOS clock of each other.
inline bool mtimes_agree(const entry_info &i) {
  return (i.os_mtime > i.dos_mtime ? i.os_mtime - i.dos_mtime : i.dos_mtime - i.os_mtime) <= 2;
}
// C:/DOCS/README.TXT; directories end in '/', a drive spec is C:/.
std::string archive_path(const walk_entry &e, bool raw);
// The DOS short name, and the archive path with it in place of the name;
// empty when there is none, or it is the name itself.
std::string short_name(const walk_entry &e, bool raw);
std::string short_path(const walk_entry &e, bool raw);
// A path as text output shows it: control characters and backslashes
// escaped as GNU tar does, so that no name can break a line of a listing
// or drive the terminal. JSON escapes them its own way.
std::string shown(const std::string &path);
// A path as a message names it: shown, and cut in the middle when very
// long, so that the message keeps its end in view.
std::string in_message(const std::string &path);
// The archive path split into components, for the output tree: false when
// a component is unsafe (".", "..", empty name, a separator or NUL inside).
bool host_parts(const walk_entry &e, bool raw, std::vector<std::string> *parts);
// --include and --exclude, over the path and its short-name form.
bool selected(const options &o, const std::string &path, const std::string &alias = "");
bool selected(const options &o, const walk_entry &e, const std::string &path);

// Where an entry lies: the image as named on the line and the offset in it.
struct place {
  const image_info *img = nullptr;
  int64_t off = 0;
};
place where(const cart_set &s, int64_t soff);
// The image whose cut end stops the stream at soff (a barrier or the end
// of the stream); null when none is cut there.
const image_info *cut_at(const cart_set &s, int64_t soff);
int images_spanned(const cart_set &s, const walk_entry &e);

// A face over the entry walk that reports what the walk passes over.
class everyday_walk : public walk_visitor {
public:
  everyday_walk(const cart_set &s, const options &o) : set_(s), opt_(o) {}
  void unreadable(int64_t off, dh_code code, int64_t resume) override;
  void resumed(int64_t from, int64_t at) override;
  void bad_trailer(const walk_entry &e, int64_t at, const uint8_t *b, int64_t n) override;
  void skip_ahead(int64_t expected, int64_t found) override;
  void skip_failed() override;
  void seek_failed() override;
  void drive_change(const uni_str *to) override;
  // Reports an entry whose data stops short; true when it did.
  bool damaged(const walk_entry &e, const std::string &path);
  // Reports the holes of compressed images found since the last call.
  void note_holes();

protected:
  // What became of an entry with a bad trailer, said after the report of
  // it: "not written", say. Set by a face that writes.
  virtual const char *bad_outcome(const walk_entry &) { return ""; }
  const cart_set &set_;
  const options &opt_;
  std::vector<size_t> holes_seen_;
};

// Reports holes and nothing else.
class hole_reporter final : public everyday_walk {
public:
  using everyday_walk::everyday_walk;
  void entry(walk_entry &) override {}
};

// Walks the whole set from its first entry with the everyday rules.
walk_result walk_set(const cart_set &s, walk_visitor &v);

// Totals of a walk.
struct totals {
  uint64_t entries = 0, drives = 0, dirs = 0, files = 0, bytes = 0;
  int backups = 0;
  // How the entries read, and how far their two modification dates agree.
  uint64_t standard = 0, fixed = 0, both_mtimes = 0, agreeing = 0;
  void add(const walk_entry &e);
  // The last line of --list --json and --test --json.
  void json_summary(const cart_set &s) const;
};

int do_list(const options &o, const cart_set &s);
int do_extract(const options &o, const cart_set &s);
int do_test(const options &o, const cart_set &s);
int do_info(const options &o, const cart_set &s);
// Each image apart: IN OUT, or -C DIR and the images.
int do_inflate(const options &o);

// ---- output files ----------------------------------------------------------------

// A file appears whole or not at all: it is written under a temporary name
// in its directory and renamed into place when complete. One at a time.
class part_file {
public:
  part_file() = default;
  part_file(const part_file &) = delete;
  part_file &operator=(const part_file &) = delete;
  ~part_file() { discard(); }
  // A new temporary file in directory dir; its descriptor, or -1 (errno).
  int open(int dir);
  int fd() const { return fd_.get(); }
  // Closes it and gives it its name in dir; false (errno) when either fails,
  // and then it is gone.
  bool commit(int dir, const char *name);
  void discard();

private:
  fd_guard fd_;
};

// While it lives, SIGINT, SIGTERM and SIGHUP remove the part_file being
// written and then end the process as they would have.
class interrupt_guard {
public:
  interrupt_guard();
  ~interrupt_guard();
  interrupt_guard(const interrupt_guard &) = delete;
  interrupt_guard &operator=(const interrupt_guard &) = delete;

private:
  struct sigaction old_[3] {};
};

// ---- progress ----------------------------------------------------------------

// One line on standard error, redrawn at most a few times a second; only
// on a terminal and without -q.
class progress {
public:
  // Clears the line of the progress display in use, if any, so that a
  // message stands on a line of its own; the next update redraws it.
  static void clear();
  progress(bool on, uint64_t bytes, uint64_t files);
  ~progress();
  void add(uint64_t bytes, uint64_t files);
  void done();

private:
  void draw(bool last);
  bool on_;
  bool shown_ = false;
  uint64_t total_bytes_, total_files_, bytes_ = 0, files_ = 0;
  double start_, last_ = 0;
};

// Local and UTC time texts of a time value.
std::string local_text(uint32_t t); // YYYY-MM-DD HH:MM:SS
std::string utc_text(uint32_t t);   // YYYY-MM-DDTHH:MM:SSZ

} // namespace cartsift::cli
