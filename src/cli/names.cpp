// Entries as the everyday face names them, selection, and the reports of
// what the walk passes over.
#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

// The characters of s, in UTF-8 or narrowed to their low bytes.
std::string text_of(const uint8_t *p, size_t n, bool raw) {
  std::string r;
  r.reserve(n);
  if (raw) {
    for (size_t i = 0; i < n; i += 2)
      r += static_cast<char>(p[i]);
    return r;
  }
  for (size_t i = 0; i < n;) {
    char32_t c;
    i = next_utf16(p, n, i, &c);
    put_utf8(r, c);
  }
  return r;
}

std::string name_of(const uni_str *s, bool raw) {
  return s ? text_of(s->ustr.get(), s->len, raw) : std::string();
}

// The components of a path string, split at its zero characters.
std::vector<std::string> components(const uni_str *path, bool raw) {
  std::vector<std::string> v;
  if (!path)
    return v;
  const uint8_t *p = path->ustr.get();
  size_t from = 0;
  for (size_t i = 0; i < path->len; i += 2) {
    const bool zero = raw ? p[i] == 0 : (i + 1 < path->len && p[i] == 0 && p[i + 1] == 0);
    if (zero) {
      if (i > from)
        v.push_back(text_of(p + from, i - from, raw));
      from = i + 2;
    }
  }
  if (from < path->len)
    v.push_back(text_of(p + from, path->len - from, raw));
  return v;
}

bool unsafe(const std::string &c) {
  return c.empty() || c == "." || c == ".." || c.find_first_of(std::string("/\\\0", 3)) !=
                                                  std::string::npos;
}

bool match(const std::string &pat, const std::string &path) {
  if (glob_match(pat, path))
    return true;
  return !pat.empty() && pat.back() == '/' && glob_match(pat + "*", path);
}

// The archive path, and the same without its drive part.
bool match_any(const std::vector<std::string> &pats, const std::string &path) {
  const size_t slash = path.find(":/");
  const bool has_drive = slash != std::string::npos && path.find('/') == slash + 1;
  for (const auto &p : pats)
    if (match(p, path) || (has_drive && match(p, path.substr(slash + 2))))
      return true;
  return false;
}

} // namespace

// ---- shell patterns ------------------------------------------------------------

namespace {

// Above every code point: a byte that starts no UTF-8 sequence stands for
// itself, equal only to the same byte.
constexpr char32_t STRAY = 0x110000;

// The character at s[i]: its length in bytes, and *c its code point, or
// STRAY + the byte when no well-formed sequence starts there.
size_t char_at(std::string_view s, size_t i, char32_t *c) {
  const uint8_t b = uint8_t(s[i]);
  const size_t n = b < 0x80 ? 1 : b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
  char32_t v = n == 1 ? b : b & (0x7F >> n);
  for (size_t k = 1; k < n; k++) {
    if (i + k >= s.size() || (uint8_t(s[i + k]) & 0xC0) != 0x80) {
      *c = STRAY + b;
      return 1;
    }
    v = v << 6 | (uint8_t(s[i + k]) & 0x3F);
  }
  // Shortest forms only, as the names are written; anything else is bytes.
  const char32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
  if (n == 0 || v < least[n] || (v >= 0xD800 && v <= 0xDFFF) || v > 0x10FFFF) {
    *c = STRAY + b;
    return 1;
  }
  *c = v;
  return n;
}

char32_t fold(char32_t c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// [:name:] inside a bracket, for ASCII; false for a name that is none of these.
bool class_named(std::string_view name, bool (**is)(int)) {
  static const struct {
    const char *name;
    bool (*is)(int);
  } classes[] = {
      // Tried on the character as it is, as fnmatch's FNM_CASEFOLD does
      // too: upper takes 'A', not 'a'.
      {"alpha", [](int c) { return std::isalpha(c) != 0; }},
      {"upper", [](int c) { return std::isupper(c) != 0; }},
      {"lower", [](int c) { return std::islower(c) != 0; }},
      {"digit", [](int c) { return std::isdigit(c) != 0; }},
      {"alnum", [](int c) { return std::isalnum(c) != 0; }},
      {"xdigit", [](int c) { return std::isxdigit(c) != 0; }},
      {"space", [](int c) { return std::isspace(c) != 0; }},
      {"blank", [](int c) { return c == ' ' || c == '\t'; }},
      {"punct", [](int c) { return std::ispunct(c) != 0; }},
      {"print", [](int c) { return std::isprint(c) != 0; }},
      {"graph", [](int c) { return std::isgraph(c) != 0; }},
      {"cntrl", [](int c) { return std::iscntrl(c) != 0; }}};
  for (const auto &k : classes)
    if (name == k.name) {
      *is = k.is;
      return true;
    }
  return false;
}

// What one element of a pattern does with a character of the text.
enum class token { no, yes, literal };

// The bracket expression opening at pat[i]: whether it takes c (as it
// stands: folded for the members, not for the classes), and *end
// just past its ']'. literal when it never closes: the '[' is then an
// ordinary character. An unknown class name, or a '\' that ends the
// pattern, matches nothing.
token bracket(std::string_view pat, size_t i, char32_t c, size_t *end) {
  size_t p = i + 1;
  const bool negate = p < pat.size() && (pat[p] == '!' || pat[p] == '^');
  if (negate)
    p++;
  bool hit = false;
  const char32_t folded = fold(c);
  // A member's code point, folded, after any '\'; false at the end.
  auto member = [&](char32_t *m) {
    if (p < pat.size() && pat[p] == '\\')
      p++;
    if (p >= pat.size())
      return false;
    p += char_at(pat, p, m);
    *m = fold(*m);
    return true;
  };
  *end = pat.size();
  for (bool first = true;; first = false) {
    if (p >= pat.size())
      return token::literal;
    if (pat[p] == ']' && !first)
      break;
    const size_t close = pat.substr(p, 2) == "[:" ? pat.find(":]", p + 2) : pat.npos;
    if (close != pat.npos) {
      bool (*is)(int);
      if (!class_named(pat.substr(p + 2, close - p - 2), &is))
        return token::no;
      hit |= c < 0x80 && is(int(c));
      p = close + 2;
      continue;
    }
    char32_t lo, hi;
    if (!member(&lo))
      return token::no; // a '\' ends the pattern
    hi = lo;
    // A '-' last in the bracket is itself.
    if (p + 1 < pat.size() && pat[p] == '-' && pat[p + 1] != ']') {
      p++;
      if (!member(&hi))
        return token::no;
    }
    hit |= lo <= folded && folded <= hi;
  }
  *end = p + 1;
  return hit != negate ? token::yes : token::no;
}

} // namespace

bool glob_match(std::string_view pat, std::string_view text) {
  // Every other element of the pattern takes one character of the text,
  // '*' any run: after a mismatch only the last '*' need take one more
  // character, so even a pattern of many stars costs at most its length
  // times the text's, never a search of every way to split the text.
  size_t p = 0, t = 0, star = pat.npos, star_t = 0;
  while (t < text.size()) {
    if (p < pat.size() && pat[p] == '*') {
      while (p < pat.size() && pat[p] == '*')
        p++;
      star = p;
      star_t = t;
      continue;
    }
    char32_t c, m;
    const size_t n = char_at(text, t, &c);
    token k = token::no;
    size_t next = p;
    if (p < pat.size()) {
      if (pat[p] == '?') {
        k = token::yes;
        next = p + 1;
      } else if (pat[p] == '[') {
        k = bracket(pat, p, c, &next);
      } else {
        k = token::literal;
      }
      if (k == token::literal) {
        const size_t at = pat[p] == '\\' ? p + 1 : p;
        k = token::no; // a lone '\' at the end matches nothing
        if (at < pat.size()) {
          next = at + char_at(pat, at, &m);
          k = fold(m) == fold(c) ? token::yes : token::no;
        }
      }
    }
    if (k == token::yes) {
      p = next;
      t += n;
      continue;
    }
    if (star == pat.npos)
      return false;
    star_t += char_at(text, star_t, &m);
    t = star_t;
    p = star;
  }
  while (p < pat.size() && pat[p] == '*')
    p++;
  return p == pat.size();
}

kind kind_of(const walk_entry &e) {
  if (e.pflg & PF_DRIVE)
    return kind::drive;
  // Only an entry read by the standard says "empty directory" by its flag.
  const bool empty_dir = e.info.standard && (e.pflg & PF_EMPTY_DIR);
  return (e.info.attrib & 0x10) || empty_dir ? kind::dir : kind::file;
}

bool file_error(const walk_entry &e) { return e.info.standard && (e.pflg & PF_FILE_ERROR); }

namespace {

std::string path_named(const walk_entry &e, const uni_str *name, bool raw) {
  if (kind_of(e) == kind::drive)
    return name_of(name, raw) + "/";
  std::string r;
  if (e.drive)
    r = name_of(e.drive, raw) + "/";
  for (const auto &c : components(e.dh.path.get(), raw)) {
    r += c;
    r += '/';
  }
  r += name_of(name, raw);
  if (kind_of(e) == kind::dir)
    r += '/';
  return r;
}

} // namespace

std::string archive_path(const walk_entry &e, bool raw) {
  return path_named(e, e.dh.nm1.get(), raw);
}

std::string short_name(const walk_entry &e, bool raw) {
  const uni_str *s = e.info.has_short ? e.dh.nm2.get() : nullptr;
  return s && s->len > 0 ? name_of(s, raw) : std::string();
}

std::string short_path(const walk_entry &e, bool raw) {
  const uni_str *s = e.info.has_short ? e.dh.nm2.get() : nullptr;
  if (s == nullptr || s->len == 0 || kind_of(e) == kind::drive ||
      (e.dh.nm1 && s->len == e.dh.nm1->len &&
       std::memcmp(s->ustr.get(), e.dh.nm1->ustr.get(), s->len) == 0))
    return "";
  return path_named(e, s, raw);
}

std::string shown(const std::string &path) {
  static const char *const named = "\a\b\t\n\v\f\r";
  if (std::none_of(path.begin(), path.end(),
                   [](char c) { return uint8_t(c) < 0x20 || c == 0x7F || c == '\\'; }))
    return path;
  std::string r;
  for (const char c : path) {
    const char *n = c != 0 ? std::strchr(named, c) : nullptr;
    if (c == '\\') {
      r += "\\\\";
    } else if (n) {
      r += '\\';
      r += "abtnvfr"[n - named];
    } else if (uint8_t(c) < 0x20 || c == 0x7F) {
      char o[5];
      std::snprintf(o, sizeof o, "\\%03o", unsigned(uint8_t(c)));
      r += o;
    } else {
      r += c;
    }
  }
  return r;
}

std::string in_message(const std::string &path) {
  constexpr size_t MAX = 240, KEEP = 112;
  std::string s = shown(path);
  if (s.size() <= MAX)
    return s;
  // Cut at character boundaries: never inside a UTF-8 sequence.
  size_t head = KEEP, tail = s.size() - KEEP;
  while (head > 0 && (uint8_t(s[head]) & 0xC0) == 0x80)
    head--;
  while (tail < s.size() && (uint8_t(s[tail]) & 0xC0) == 0x80)
    tail++;
  return s.substr(0, head) + "..." + s.substr(tail);
}

bool host_parts(const walk_entry &e, bool raw, std::vector<std::string> *parts) {
  parts->clear();
  auto drive_dir = [&](const uni_str *d) {
    std::string s = name_of(d, raw);
    for (char &c : s)
      if (c == ':')
        c = '_';
    return s;
  };
  if (kind_of(e) == kind::drive) {
    parts->push_back(drive_dir(e.dh.nm1.get()));
    return !unsafe(parts->back());
  }
  if (e.drive)
    parts->push_back(drive_dir(e.drive));
  for (auto &c : components(e.dh.path.get(), raw))
    parts->push_back(std::move(c));
  parts->push_back(name_of(e.dh.nm1.get(), raw));
  for (const auto &c : *parts)
    if (unsafe(c))
      return false;
  return true;
}

int windows_parts(std::vector<std::string> *parts) {
  int last = -1;
  for (size_t k = 0; k < parts->size(); k++)
    if (windows_name(&(*parts)[k]))
      last = int(k);
  return last;
}

bool selected(const options &o, const std::string &path, const std::string &alias) {
  auto any = [&](const std::vector<std::string> &pats) {
    return match_any(pats, path) || (!alias.empty() && match_any(pats, alias));
  };
  if (!o.include.empty() && !any(o.include))
    return false;
  return !any(o.exclude);
}

bool selected(const options &o, const walk_entry &e, const std::string &path) {
  if (o.include.empty() && o.exclude.empty())
    return true;
  return selected(o, path, short_path(e, o.raw_names));
}

void reporter::problem(const std::string &image, int64_t off, const std::string &kind,
                       const char *fmt, ...) {
  problems++;
  char msg[1024];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(msg, sizeof msg, fmt, ap);
  va_end(ap);
  if (json_problems) {
    nlohmann::ordered_json j;
    j["problem"] = kind;
    j["image"] = image;
    j["offset"] = off;
    j["message"] = msg;
    std::string s = j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    s += '\n';
    text(stdout, s);
    return;
  }
  std::fflush(stdout);
  progress::clear();
  if (image.empty())
    textf(stderr, "cartsift: %s\n", msg);
  else
    textf(stderr, "cartsift: %s: 0x%llx: %s\n", image.c_str(),
                 static_cast<unsigned long long>(off), msg);
}

void everyday_walk::unreadable(int64_t off, dh_code code, int64_t resume) {
  place p = where(set_, off);
  const char *why = code == DH_NAME      ? "a name cannot be read"
                    : code == DH_NOCLOSE ? "no closing signature"
                                         : "not an entry";
  // Its names did read when only the closing signature is missing: the
  // user learns which file is lost. The walk seeks on from where it goes next.
  std::string name;
  if (code == DH_NOCLOSE && seek_to(set_.sfd, off + 73))
    if (uni_ptr n = get_unistr(set_.sfd))
      name = " \"" + in_message(utf8_of(*n)) + "\"";
  if (resume < 0) {
    rep.problem(p.img->path, p.off, "entry", "unreadable entry%s (%s); no entry after it",
                name.c_str(), why);
    return;
  }
  place q = where(set_, resume);
  rep.problem(p.img->path, p.off, "entry",
              "unreadable entry%s (%s); %lld bytes skipped to the next entry at %s 0x%llx",
              name.c_str(), why, static_cast<long long>(resume - off), q.img->path.c_str(),
              static_cast<unsigned long long>(q.off));
}

void everyday_walk::resumed(int64_t from, int64_t at) {
  // The missing cartridge or the cut is the problem, counted where the set
  // was opened; this only says where the walk picks up again.
  place p = where(set_, from);
  const image_info *cut = cut_at(set_, from);
  const std::string gap = cut ? "the cut end of " + cut->path : "the missing cartridge";
  if (at < 0)
    rep.warn("%s: no entry after %s", p.img->path.c_str(), gap.c_str());
  else if (at > from)
    rep.warn("%s: 0x%llx: %lld bytes before the first entry after %s belong to files that "
             "ran across it",
             p.img->path.c_str(), static_cast<unsigned long long>(p.off),
             static_cast<long long>(at - from), gap.c_str());
}

void everyday_walk::bad_trailer(const walk_entry &e, int64_t, const uint8_t *, int64_t) {
  place p = where(set_, e.data + e.flen);
  rep.problem(p.img->path, p.off, "trailer", "%s: %s trailer after the data%s",
              in_message(archive_path(e, opt_.raw_names)).c_str(),
              e.trailer == walk_entry::trailer_state::missing ? "missing" : "bad",
              bad_outcome(e));
}

void everyday_walk::skip_failed() {
  rep.problem("", 0, "read", "cannot step over a file's data; the walk ends here");
}

void everyday_walk::seek_failed() {
  rep.problem("", 0, "read", "cannot reach the next entry; the walk ends here");
}

void everyday_walk::skip_ahead(int64_t expected, int64_t found) {
  place p = where(set_, expected);
  rep.problem(p.img->path, p.off, "gap", "%lld bytes that are not an entry, skipped",
              static_cast<long long>(found - expected));
}

void everyday_walk::drive_change(const uni_str *to) {
  if (!to)
    rep.warn("a drive change past the last drive spec; the entries stay on the last drive");
}

bool everyday_walk::damaged(const walk_entry &e, const std::string &path) {
  if (e.avail >= e.flen)
    return false;
  place p = where(set_, e.data);
  const int64_t stop = img_run_end(set_.sfd, e.data);
  const image_info *cut = cut_at(set_, stop);
  const std::string why = cut                 ? "past the cut end of " + cut->path
                          : stop < set_.total ? "into a missing cartridge"
                                              : "past the last image";
  rep.problem(p.img->path, p.off, "damaged",
              "%s: data runs %s; %lld of %lu bytes recovered", in_message(path).c_str(),
              why.c_str(),
              static_cast<long long>(e.avail), static_cast<unsigned long>(e.flen));
  return true;
}

void everyday_walk::note_holes() {
  holes_seen_.resize(set_.images.size());
  for (size_t k = 0; k < set_.images.size(); k++) {
    const z_info *z = set_zinfo(set_.sfd, k);
    for (; z && holes_seen_[k] < z->holes.size(); holes_seen_[k]++) {
      const z_hole &h = z->holes[holes_seen_[k]];
      rep.problem(set_.images[k].path, DATA_START + std::max<int64_t>(h.from, 0), "hole", "%s",
                  h.why.c_str());
    }
    // Once, when the first unnamed one is found.
    if (z && z->more_holes > 0 && holes_seen_[k] == Z_HOLES_NAMED) {
      holes_seen_[k]++;
      rep.problem(set_.images[k].path, DATA_START, "hole",
                  "more holes than the %zu named; --info counts them", Z_HOLES_NAMED);
    }
  }
}

bool everyday_walk::passed_by(const walk_entry &e, const std::string &path, bool want,
                              bool safe, outcome_log *log) {
  if (!want) {
    if (e.flen > 0)
      damaged(e, path);
    tell(log, e, path, fate::excluded, 0);
    return true;
  }
  if (!safe) {
    rep.skip("%s: unsafe name, skipped", in_message(path).c_str());
    tell(log, e, path, fate::unsafe, 0);
    return true;
  }
  return false;
}

bool everyday_walk::left_out(const walk_entry &e, const std::string &path, outcome_log *log,
                             const char *verb) {
  if (file_error(e)) {
    place p = where(set_, e.off);
    rep.problem(p.img->path, p.off, "file error",
                "%s: the backup program could not read it when the backup was made; %s%s%s",
                in_message(path).c_str(), opt_.keep_partial ? "" : "not ", verb,
                opt_.keep_partial ? " as it stands (--keep-partial)"
                                  : " (--keep-partial keeps it)");
    if (!opt_.keep_partial) {
      tell(log, e, path, fate::file_error, e.avail);
      return true;
    }
  }
  if (damaged(e, path) && !opt_.keep_partial) {
    tell(log, e, path, fate::damaged, e.avail);
    return true;
  }
  return false;
}

void totals::add(const walk_entry &e) {
  entries++;
  switch (kind_of(e)) {
  case kind::drive: drives++; break;
  case kind::dir: dirs++; break;
  case kind::file:
    files++;
    bytes += uint64_t(e.flen);
    break;
  }
  backups = std::max(backups, e.backup);
  (e.info.standard ? standard : fixed)++;
  if (e.info.both_mtimes) {
    both_mtimes++;
    if (mtimes_agree(e.info))
      agreeing++;
  }
}

void totals::json_summary(const cart_set &s) const {
  nlohmann::ordered_json sum;
  sum["entries"] = entries;
  sum["drives"] = drives;
  sum["dirs"] = dirs;
  sum["files"] = files;
  sum["bytes"] = bytes;
  sum["problems"] = rep.problems;
  sum["images"] = s.images.size();
  nlohmann::ordered_json j;
  j["summary"] = sum;
  textf(stdout, "%s\n", j.dump().c_str());
}

std::string local_text(uint32_t t) {
  struct tm tm;
  char s[64];
  if (!platform::local_time(t, &tm) || !std::strftime(s, sizeof s, "%Y-%m-%d %H:%M:%S", &tm))
    return "0000-00-00 00:00:00";
  return s;
}

std::string utc_text(uint32_t t) {
  struct tm tm;
  char s[64];
  if (!platform::utc_time(t, &tm) || !std::strftime(s, sizeof s, "%Y-%m-%dT%H:%M:%SZ", &tm))
    return "";
  return s;
}

} // namespace cartsift::cli
