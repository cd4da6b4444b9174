// The everyday face: --list, --extract, --test and --info over every image
// of a set, with UTF-8 names, plain and JSON listings; --convert and --bag
// write the set into a standard archive or a BagIt bag, and --hash gives
// digests of what is read or written. Listings and data go to standard
// output, messages to standard error; the status is 0, 1 when something was
// skipped or damaged, 2 when the run could not start.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "set/set.h"
#include "walks/walks.h"

// libcrypto's digest state, held by pointer; only digest.cpp sees inside.
struct evp_md_ctx_st;

namespace cartsift::cli {

// True when an argument is one of the commands.
bool wanted(int argc, char **argv);
int everyday_main(int argc, char **argv);
// The everyday part of --help, which comes first.
void help(FILE *to);

// Text for a reader: listings, reports and messages. On a Windows console it
// goes out as wide characters, so UTF-8 names show as they are; anywhere
// else, and for data, the bytes are written as they stand.
void text(FILE *f, std::string_view s);
void textf(FILE *f, const char *fmt, ...) CARTSIFT_PRINTF(2, 3);
void vtextf(FILE *f, const char *fmt, va_list ap) CARTSIFT_PRINTF(2, 0);

enum class command { none, list, extract, test, info, inflate, convert, bag };

#ifdef _WIN32
constexpr bool WINDOWS_BUILD = true;
#else
constexpr bool WINDOWS_BUILD = false;
#endif

enum class hash_alg { md5, sha1, sha256, sha512 };
enum class arc_format { none, zip, pax };

struct options {
  command cmd = command::none;
  bool verbose = false, json = false, quiet = false;
  bool raw_names = false, as_given = false;
  bool overwrite = false, to_stdout = false, keep_partial = false;
  bool xattrs = false;
  // Extracted names made ones a Windows file system can hold: always in
  // the Windows build, with --windows-names elsewhere.
  bool windows_names = WINDOWS_BUILD;
  std::string dir = ".";
  bool dir_given = false;
  std::string out;      // --convert's archive, "-" for standard output; --bag's directory
  arc_format format = arc_format::none;
  std::vector<hash_alg> hashes; // in the order given, each once
  std::string manifest;         // --manifest=FILE
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
  void warn(const char *fmt, ...) CARTSIFT_PRINTF(2, 3);
  // One problem at an image offset (image empty: none).
  void problem(const std::string &image, int64_t off, const std::string &kind,
               const char *fmt, ...) CARTSIFT_PRINTF(5, 6);
  void skip(const char *fmt, ...) CARTSIFT_PRINTF(2, 3);
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

// The separators between the levels of a path given on the command line:
// on Windows '\' as well as '/'.
constexpr const char *PATH_SEPS = WINDOWS_BUILD ? "/\\" : "/";

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
// windows_name over each of the parts; the index of the last one changed,
// or -1 when none was.
int windows_parts(std::vector<std::string> *parts);
// Whether a shell pattern matches text, letter case aside (ASCII): '*'
// takes any run of characters, '/' included, '?' one character (a whole
// UTF-8 sequence), [...] one of a set (ranges, [:alpha:], '!' or '^'
// first to negate), and '\' makes the next character plain.
bool glob_match(std::string_view pat, std::string_view text);
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

class outcome_log;

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
  // A file the backup program could not read, or whose data stops short, is
  // reported, and with no --keep-partial it is left out and log is told so;
  // true then. verb says what the face does with a file: "written".
  bool left_out(const walk_entry &e, const std::string &path, outcome_log *log,
                const char *verb);
  // An entry that --include and --exclude leave out, or whose name is unsafe
  // to write, is reported where that is news and log is told; true then.
  bool passed_by(const walk_entry &e, const std::string &path, bool want, bool safe,
                 outcome_log *log);
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
// These open the set themselves, once their output is known to be writable.
int do_convert(const options &o);
int do_bag(const options &o);
int do_test(const options &o, const cart_set &s);
int do_info(const options &o, const cart_set &s);
// Each image apart: IN OUT, or -C DIR and the images.
int do_inflate(const options &o);

// ---- output files ----------------------------------------------------------------

// A file appears whole or not at all: it is written under a temporary name
// in its directory and renamed into place when complete. A few at a time:
// an archive or an extracted file, and the manifests written beside it.
class part_file {
public:
  part_file() = default;
  part_file(const part_file &) = delete;
  part_file &operator=(const part_file &) = delete;
  ~part_file() { discard(); }
  // A new temporary file in directory dir, which stays open and in place
  // until the file is committed or discarded; its descriptor, or -1 (errno).
  int open(const platform::dir &dir);
  int fd() const { return fd_.get(); }
  // Closes it and gives it its name in dir; false (errno) when either fails,
  // and then it is gone. With keep, a file of that name stays (EEXIST).
  bool commit(const platform::dir &dir, const char *name, bool keep = false);
  void discard();

private:
  fd_guard fd_;
  int slot_ = -1; // removed on interrupt while set
  const platform::dir *dir_ = nullptr;
  std::string name_;
};

// The directory of a path and its last component, for part_file: "." and
// the path itself when it has no '/'. Not ok() (errno) when the directory
// cannot be opened.
platform::dir open_parent(const std::string &path, std::string *name);

// ---- digests and manifests -------------------------------------------------------

// "sha256" and the like; false for a name that is none of the four.
bool parse_hash(const std::string &name, hash_alg *a);
const char *hash_name(hash_alg a); // sha256
const char *hash_tag(hash_alg a);  // SHA256, as sha256sum --tag writes it

// The digests of one file's bytes, one per algorithm, from the bytes as they
// pass on their way out (OpenSSL's EVP calls): a digest costs no read of its own.
class digests {
public:
  explicit digests(const std::vector<hash_alg> &algs);
  bool empty() const { return algs_.empty(); }
  const std::vector<hash_alg> &algs() const { return algs_; }
  void start();
  void add(const void *p, size_t n);
  // Lower-case hex, in the order of algs(); good until the next start().
  const std::vector<std::string> &finish();

private:
  std::vector<hash_alg> algs_;
  struct ctx_free {
    void operator()(evp_md_ctx_st *c) const;
  };
  std::vector<std::unique_ptr<evp_md_ctx_st, ctx_free>> ctx_;
  std::vector<std::string> hex_;
};

// Reads n bytes from the set's position and hands them, a chunk at a time,
// to d (when not null) and to put, which returns false when it cannot take
// them. The bytes handed on; when fewer than n, *rfail tells whether the
// set ran short rather than put.
int64_t pass_data(int fp, int64_t n, digests *d,
                  const std::function<bool(const uint8_t *, size_t)> &put, bool *rfail);

// The lines a checksum file gives one file: "DIGEST  PATH" as sha256sum
// writes them, or with several algorithms a tagged line each
// ("SHA256 (PATH) = DIGEST"), both with sha256sum's escapes; in a bag's
// manifest "DIGEST  PATH" with CR, LF and % percent-encoded. A file kept
// in part (--keep-partial) is followed by "# damaged: N of M bytes".
enum class sums_style { sums, bagit };
std::string sum_lines(sums_style st, const std::vector<hash_alg> &algs, const std::string &path,
                      const std::vector<std::string> &hex);
std::string damage_note(int64_t got, int64_t size);

// A text file written under a temporary name, in writes of a useful size,
// and renamed into place at the end.
class text_file {
public:
  // In directory dir as name; false (errno) when it cannot be made.
  bool open(const platform::dir &dir, const std::string &name);
  bool put(const std::string &s);
  // Writes what is pending; false (errno) once a write has failed.
  bool flush();
  bool commit();
  int fd() const { return f_.fd(); }
  const platform::dir &dir() const { return *dir_; }
  const std::string &name() const { return name_; }

private:
  part_file f_;
  const platform::dir *dir_ = nullptr;
  std::string name_, pending_;
  int err_ = 0;
};

// A checksum file written under a temporary name and renamed into place at
// the end. A path written twice in a run (a later backup brings a newer
// copy) keeps its last lines only: the writer names the paths that may have
// been written before, and those alone are looked for again at the end.
class sums_file {
public:
  sums_file(sums_style st, std::vector<hash_alg> algs) : st_(st), algs_(std::move(algs)) {}
  bool open(const platform::dir &dir, const std::string &name) { return f_.open(dir, name); }
  bool add(const std::string &path, const std::vector<std::string> &hex, bool partial,
           int64_t got, int64_t size);
  void may_repeat(const std::string &path);
  // Renames it into place; false (errno) on a write failure.
  bool commit();

private:
  std::string key(const std::string &line) const;
  bool drop_repeats();
  sums_style st_;
  std::vector<hash_alg> algs_;
  text_file f_;
  // The lines of paths that may be there twice, by their text without the
  // digest, and how many times they are there.
  std::map<std::string, int> repeats_;
};

// Remembers, in fixed memory, the paths a run has written, so that a later
// copy of one (the next backup's) can be told from a file that was there
// before: a path it has not seen is never taken for one seen; one it has
// may now and then be new.
class seen_paths {
public:
  void add(uint64_t h);
  bool maybe(uint64_t h) const;

private:
  static constexpr int PROBES = 4;
  static constexpr uint64_t BITS = uint64_t(1) << 24; // 2 MiB when full
  // Made as bits are set, so that a run of a few files costs a few pages.
  static constexpr uint64_t CHUNK = 4096;
  static uint64_t bit(uint64_t h, int k) {
    return ((h & 0xFFFFFFFF) + uint64_t(k) * ((h >> 32) | 1)) % BITS;
  }
  std::vector<std::unique_ptr<uint64_t[]>> chunks_;
};

// ---- what a writing run did with each entry -----------------------------------------

// The report of a bag names these.
enum class fate { written, damaged, file_error, unsafe, excluded, failed };
const char *fate_name(fate f);

struct entry_outcome {
  const walk_entry *e = nullptr;
  std::string path; // the archive path
  std::string rel;  // where it went, relative to the output; empty when nowhere
  fate f = fate::written;
  int64_t bytes = 0; // data bytes written, or recoverable where none were
  bool partial = false;
  const std::vector<std::string> *hex = nullptr; // a file written with digests
};

// Told by --extract and --convert of every entry; manifests and the bag
// are written from it.
class outcome_log {
public:
  virtual ~outcome_log() = default;
  virtual void done(const entry_outcome &o) = 0;
  // A file this run wrote before was replaced by a later copy.
  virtual void replaced(const std::string & /*rel*/, int64_t /*old_size*/) {}
};

// Tells log, when there is one, what became of an entry.
void tell(outcome_log *log, const walk_entry &e, const std::string &path, fate f, int64_t bytes,
          const std::string &rel = "", bool partial = false,
          const std::vector<std::string> *hex = nullptr);

// --manifest=FILE: the checksum lines of the files written, their paths
// relative to the output directory or the archive's root.
class manifest_log final : public outcome_log {
public:
  explicit manifest_log(const options &o) : f_(sums_style::sums, o.hashes) {}
  // Makes FILE's temporary file; false after its one message.
  bool open(const std::string &file);
  void done(const entry_outcome &o) override;
  void replaced(const std::string &rel, int64_t) override { f_.may_repeat(rel); }
  // Puts FILE in place; false after its one message.
  bool commit();

private:
  sums_file f_;
  platform::dir dir_;
  std::string file_;
  bool bad_ = false;
};

// The extraction of do_extract below an open directory, telling log (when
// not null) what it did; the digests of o.hashes are computed as the bytes
// are written. The status.
int extract_into(const options &o, const cart_set &s, const platform::dir &root,
                 outcome_log *log);

// The DOS attribute byte an archive or an extended attribute keeps for an
// entry, and its text form "0x21", which Samba and Wine read from
// user.DOSATTRIB.
uint8_t dos_attrib(const walk_entry &e);
std::string dos_attrib_text(uint8_t a);

// While it lives, an interrupt removes the part_files being written and
// then ends the process as it would have.
using interrupt_guard = platform::interrupt_guard;

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
  size_t width_ = 0; // of the line last drawn, blanked by the next
  uint64_t total_bytes_, total_files_, bytes_ = 0, files_ = 0;
  double start_, last_ = 0;
};

// Whether a writing run shows the progress line (on a terminal, without
// -q), and then what it will write, counted by a walk of its own.
bool progress_wanted(const options &o, const cart_set &s, uint64_t *bytes, uint64_t *files);

// Local and UTC time texts of a time value.
std::string local_text(uint32_t t); // YYYY-MM-DD HH:MM:SS
std::string utc_text(uint32_t t);   // YYYY-MM-DDTHH:MM:SSZ

// GNU-style options, read the same on every system: short ones alone or
// run together (-vq), a value in the same argument or the next (-Cdir, -C
// dir); long ones as --name, --name=value or --name value, or any prefix
// that names one option; operands anywhere among them, and all after "--".
struct long_opt {
  const char *name; // nullptr ends the table
  bool has_arg;
  int val;
};
class opt_scan {
public:
  opt_scan(int argc, char **argv, const char *shorts, const long_opt *longs);
  // The next option's val (a short one's letter); -1 at the end; ':' when
  // it lacks its value and '?' when it is unknown, with bad the option as
  // given.
  int next();
  const char *arg = nullptr;       // the option's value
  std::string bad;                 // see next()
  std::vector<std::string> operands; // complete once next() returns -1

private:
  int long_option(const char *a);
  int argc_, i_ = 1;
  char **argv_;
  const char *shorts_;
  const long_opt *longs_;
  const char *cluster_ = nullptr; // the rest of a run of short options
};

} // namespace cartsift::cli
