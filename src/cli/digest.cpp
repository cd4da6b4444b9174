// Digests of file data as it passes on its way out, the checksum files made
// of them (sha256sum's format, and a bag's manifests), and what the writing
// runs share beside: the paths a run has written, the DOS attribute text.
#if CARTSIFT_HAVE_CRYPTO
#include <openssl/evp.h>
#endif

#include <cerrno>
#include <cstring>

#include "cli/cli.h"
#include "extract/write_full.h"

namespace cartsift::cli {

namespace {

struct alg_names {
  hash_alg a;
  const char *name, *tag;
};
constexpr alg_names ALGS[] = {{hash_alg::md5, "md5", "MD5"},
                              {hash_alg::sha1, "sha1", "SHA1"},
                              {hash_alg::sha256, "sha256", "SHA256"},
                              {hash_alg::sha512, "sha512", "SHA512"}};

#if CARTSIFT_HAVE_CRYPTO
const EVP_MD *md_of(hash_alg a) {
  switch (a) {
  case hash_alg::md5: return EVP_md5();
  case hash_alg::sha1: return EVP_sha1();
  case hash_alg::sha256: return EVP_sha256();
  case hash_alg::sha512: return EVP_sha512();
  }
  return nullptr;
}
#endif

// sha256sum's escapes: a name holding any of these gets a line that starts
// with a backslash, which -c reads back.
bool needs_escape(const std::string &p) { return p.find_first_of("\\\n\r") != std::string::npos; }

std::string escaped(const std::string &p) {
  std::string r;
  for (const char c : p)
    r += c == '\\' ? "\\\\" : c == '\n' ? "\\n" : c == '\r' ? "\\r" : std::string(1, c);
  return r;
}

// RFC 8493 leaves everything of a manifest path as it is but these.
std::string percent_encoded(const std::string &p) {
  std::string r;
  for (const char c : p)
    r += c == '%' ? "%25" : c == '\n' ? "%0A" : c == '\r' ? "%0D" : std::string(1, c);
  return r;
}

} // namespace

bool parse_hash(const std::string &name, hash_alg *a) {
  for (const auto &x : ALGS)
    if (name == x.name) {
      *a = x.a;
      return true;
    }
  return false;
}

const char *hash_name(hash_alg a) { return ALGS[int(a)].name; }
const char *hash_tag(hash_alg a) { return ALGS[int(a)].tag; }

#if CARTSIFT_HAVE_CRYPTO
digests::digests(const std::vector<hash_alg> &algs) : algs_(algs) {
  ctx_.reserve(algs_.size()); // so that no context is made and then dropped
  for (size_t k = 0; k < algs_.size(); k++) {
    ctx_.emplace_back(EVP_MD_CTX_new());
    if (ctx_.back() == nullptr)
      throw std::bad_alloc();
  }
  hex_.resize(algs_.size());
}

void digests::ctx_free::operator()(evp_md_ctx_st *c) const { EVP_MD_CTX_free(c); }

void digests::start() {
  for (size_t k = 0; k < algs_.size(); k++)
    if (EVP_DigestInit_ex(ctx_[k].get(), md_of(algs_[k]), nullptr) != 1)
      throw std::bad_alloc(); // the library is out of memory: nothing else fails here
}

void digests::add(const void *p, size_t n) {
  for (auto &c : ctx_)
    EVP_DigestUpdate(c.get(), p, n);
}

const std::vector<std::string> &digests::finish() {
  for (size_t k = 0; k < algs_.size(); k++) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned n = 0;
    EVP_DigestFinal_ex(ctx_[k].get(), md, &n);
    std::string &h = hex_[k];
    h.resize(2 * n);
    for (unsigned i = 0; i < n; i++) {
      h[2 * i] = "0123456789abcdef"[md[i] >> 4];
      h[2 * i + 1] = "0123456789abcdef"[md[i] & 15];
    }
  }
  return hex_;
}

#else
// A build without libcrypto: the option parser lets no algorithm through.
digests::digests(const std::vector<hash_alg> &algs) : algs_(algs), hex_(algs.size()) {}
void digests::ctx_free::operator()(evp_md_ctx_st *) const {}
void digests::start() {}
void digests::add(const void *, size_t) {}
const std::vector<std::string> &digests::finish() { return hex_; }
#endif

int64_t pass_data(int fp, int64_t n, digests *d,
                  const std::function<bool(const uint8_t *, size_t)> &put, bool *rfail) {
  // Large enough that a read costs little next to the digest, small enough
  // to stay in the cache while the digest and the write go over it.
  constexpr size_t CHUNK = 64 << 10;
  static const auto chunk = std::make_unique_for_overwrite<uint8_t[]>(CHUNK);
  *rfail = false;
  int64_t got = 0;
  while (got < n) {
    const size_t want = size_t(std::min<int64_t>(n - got, int64_t(CHUNK)));
    const int64_t r = img_read(fp, chunk.get(), want);
    if (r <= 0) {
      *rfail = true;
      break;
    }
    if (d)
      d->add(chunk.get(), size_t(r));
    if (!put(chunk.get(), size_t(r)))
      break;
    got += r;
  }
  return got;
}

std::string sum_lines(sums_style st, const std::vector<hash_alg> &algs, const std::string &path,
                      const std::vector<std::string> &hex) {
  if (st == sums_style::bagit)
    return hex[0] + "  " + percent_encoded(path) + "\n";
  const bool esc = needs_escape(path);
  const std::string p = esc ? escaped(path) : path;
  if (algs.size() == 1)
    return (esc ? "\\" : "") + hex[0] + "  " + p + "\n";
  std::string r;
  for (size_t k = 0; k < algs.size(); k++)
    r += (esc ? "\\" : "") + std::string(hash_tag(algs[k])) + " (" + p + ") = " + hex[k] + "\n";
  return r;
}

std::string damage_note(int64_t got, int64_t size) {
  return "# damaged: " + std::to_string(got) + " of " + std::to_string(size) + " bytes\n";
}

bool text_file::open(const platform::dir &dir, const std::string &name) {
  dir_ = &dir;
  name_ = name;
  return f_.open(dir) >= 0;
}

bool text_file::flush() {
  if (err_ == 0 &&
      !write_full(f_.fd(), reinterpret_cast<const uint8_t *>(pending_.data()), pending_.size()))
    err_ = errno ? errno : EIO;
  pending_.clear();
  errno = err_;
  return err_ == 0;
}

bool text_file::put(const std::string &s) {
  pending_ += s;
  return pending_.size() < (64 << 10) ? err_ == 0 : flush();
}

bool text_file::commit() {
  if (dir_ == nullptr) {
    errno = EBADF;
    return false;
  }
  return flush() && f_.commit(*dir_, name_.c_str());
}

bool sums_file::add(const std::string &path, const std::vector<std::string> &hex, bool partial,
                    int64_t got, int64_t size) {
  return f_.put(sum_lines(st_, algs_, path, hex) + (partial ? damage_note(got, size) : ""));
}

// A line without its digest: what two copies of one path have in common.
std::string sums_file::key(const std::string &line) const {
  if (st_ == sums_style::sums && algs_.size() > 1)
    return line.substr(0, line.rfind(" = "));
  const size_t sp = line.find("  ");
  return (line.starts_with("\\") ? "\\" : "") + (sp == std::string::npos ? line : line.substr(sp));
}

void sums_file::may_repeat(const std::string &path) {
  const std::vector<std::string> none(algs_.size());
  const std::string lines = sum_lines(st_, algs_, path, none);
  for (size_t at = 0; at < lines.size();) {
    const size_t nl = lines.find('\n', at);
    repeats_[key(lines.substr(at, nl - at))] = 0;
    at = nl + 1;
  }
}

// The file again without the earlier lines of a path that is there twice:
// one reading counts them, the next leaves out all but the last. Few runs
// need it, and those name few paths.
bool sums_file::drop_repeats() {
  text_file out;
  if (!f_.flush() || !out.open(f_.dir(), f_.name()))
    return false;
  bool ok = true;
  for (int round = 0; round < 2 && ok; round++) {
    bool dropping = false;
    // l holds one line and its newline.
    auto take = [&](std::string l) {
      if (l.starts_with("# ")) { // a note on the line before
        if (round == 1 && !dropping)
          ok = out.put(l);
        return;
      }
      l.pop_back();
      auto it = repeats_.find(key(l));
      dropping = false;
      if (it != repeats_.end() && round == 0)
        it->second++;
      else if (it != repeats_.end())
        dropping = --it->second > 0;
      if (round == 1 && !dropping)
        ok = out.put(l + "\n");
    };
    std::string l;
    char b[16 << 10];
    int64_t at = 0, n = 0;
    while (ok && (n = platform::read_full(f_.fd(), b, sizeof b, at)) > 0) {
      at += n;
      for (const char *p = b, *end = b + n; ok && p < end;) {
        const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
        l.append(p, nl ? nl + 1 : end);
        p = nl ? nl + 1 : end;
        if (nl) {
          take(std::move(l));
          l.clear();
        }
      }
    }
    ok = ok && n == 0;
    if (ok && !l.empty())
      take(std::move(l));
  }
  return ok && out.commit(); // the first goes with f_
}

bool sums_file::commit() {
  if (!repeats_.empty())
    return drop_repeats();
  return f_.commit();
}

bool manifest_log::open(const std::string &file) {
  file_ = file;
  std::string name;
  dir_ = open_parent(file, &name);
  if (!dir_.ok() || !f_.open(dir_, name)) {
    textf(stderr, "cartsift: %s: cannot write: %s\n", file.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void manifest_log::done(const entry_outcome &o) {
  if (o.hex && !o.rel.empty() && !bad_ &&
      !f_.add(o.rel, *o.hex, o.partial, o.bytes, o.e->flen)) {
    bad_ = true;
    rep.skip("%s: cannot write: %s", file_.c_str(), std::strerror(errno));
  }
}

bool manifest_log::commit() {
  if (bad_)
    return false;
  if (!f_.commit()) {
    textf(stderr, "cartsift: %s: cannot write: %s\n", file_.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void tell(outcome_log *log, const walk_entry &e, const std::string &path, fate f, int64_t bytes,
          const std::string &rel, bool partial, const std::vector<std::string> *hex) {
  if (log == nullptr)
    return;
  entry_outcome o;
  o.e = &e;
  o.path = path;
  o.rel = rel;
  o.f = f;
  o.bytes = bytes;
  o.partial = partial;
  o.hex = hex;
  log->done(o);
}

void seen_paths::add(uint64_t h) {
  if (chunks_.empty())
    chunks_.resize(BITS / CHUNK);
  for (int k = 0; k < PROBES; k++) {
    const uint64_t i = bit(h, k);
    auto &c = chunks_[i / CHUNK];
    if (!c)
      c = std::make_unique<uint64_t[]>(CHUNK / 64);
    c[i % CHUNK / 64] |= uint64_t(1) << (i % 64);
  }
}

bool seen_paths::maybe(uint64_t h) const {
  if (chunks_.empty())
    return false;
  for (int k = 0; k < PROBES; k++) {
    const uint64_t i = bit(h, k);
    const auto &c = chunks_[i / CHUNK];
    if (!c || !(c[i % CHUNK / 64] >> (i % 64) & 1))
      return false;
  }
  return true;
}

const char *fate_name(fate f) {
  switch (f) {
  case fate::written: return "written";
  case fate::damaged: return "damaged";
  case fate::file_error: return "file_error";
  case fate::unsafe: return "unsafe";
  case fate::excluded: return "excluded";
  case fate::failed: return "failed";
  }
  return "";
}

uint8_t dos_attrib(const walk_entry &e) {
  // A drive is a directory once written; its volume bit means nothing there.
  if (kind_of(e) != kind::file)
    return uint8_t((e.info.attrib & ~0x08) | 0x10);
  return e.info.attrib;
}

std::string dos_attrib_text(uint8_t a) {
  char t[8];
  std::snprintf(t, sizeof t, "0x%x", unsigned(a));
  return t;
}

} // namespace cartsift::cli
