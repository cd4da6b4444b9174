// --bag: a BagIt bag (RFC 8493, version 1.0) made from the set in one pass:
// the payload written below DIR/data as --extract writes it, its manifests
// from the digests taken as it was written, the bag's tag files, and a
// report of what became of every entry.
#include <cerrno>
#include <cstring>
#include <ctime>

#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

// The payload's manifests, the report and the Payload-Oxum, from what the
// extraction tells of each entry.
class bag_log final : public outcome_log {
public:
  explicit bag_log(const std::vector<hash_alg> &algs) {
    for (hash_alg a : algs)
      manifests_.push_back(std::make_unique<sums_file>(sums_style::bagit,
                                                       std::vector<hash_alg>{a}));
  }
  uint64_t octets = 0, files = 0;

  // False (errno) when a file cannot be made.
  bool open(const platform::dir &dir, const std::vector<hash_alg> &algs) {
    for (size_t k = 0; k < algs.size(); k++)
      if (!manifests_[k]->open(dir, "manifest-" + std::string(hash_name(algs[k])) + ".txt"))
        return false;
    return report_.open(dir, "cartsift-report.jsonl");
  }

  void done(const entry_outcome &o) override {
    const bool placed = !o.rel.empty();
    nlohmann::ordered_json j;
    j["path"] = o.path;
    j["type"] = kind_of(*o.e) == kind::drive ? "drive" : kind_of(*o.e) == kind::dir ? "dir" : "file";
    j["bag_path"] = placed ? nlohmann::ordered_json("data/" + o.rel) : nlohmann::ordered_json();
    j["status"] = fate_name(o.f);
    j["bytes"] = o.bytes;
    ok_ = report_.put(j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n") &&
          ok_;
    if (!o.hex || !placed)
      return;
    files++;
    octets += uint64_t(o.bytes);
    // A manifest holds no notes: the report says which files are partial.
    for (size_t k = 0; k < manifests_.size(); k++)
      ok_ = manifests_[k]->add("data/" + o.rel, {(*o.hex)[k]}, false, 0, 0) && ok_;
  }

  void replaced(const std::string &rel, int64_t old_size) override {
    files--;
    octets -= uint64_t(old_size);
    for (auto &m : manifests_)
      m->may_repeat("data/" + rel);
  }

  // False (errno) when a write failed.
  bool commit() {
    for (auto &m : manifests_)
      ok_ = ok_ && m->commit();
    return ok_ && report_.commit();
  }

private:
  std::vector<std::unique_ptr<sums_file>> manifests_;
  text_file report_;
  bool ok_ = true;
};

// DIR made, or found empty; not ok() after the one message.
platform::dir bag_dir(const std::string &path) {
  if (!platform::make_dir(platform::cwd(), path.c_str()) && errno != EEXIST) {
    textf(stderr, "cartsift: %s: cannot make the directory: %s\n", path.c_str(),
                 std::strerror(errno));
    return {};
  }
  platform::dir d = platform::open_dir(platform::cwd(), path.c_str(), false);
  if (!d.ok()) {
    textf(stderr, "cartsift: %s: %s\n", path.c_str(), std::strerror(errno));
    return {};
  }
  // One name is enough to refuse it; a directory that cannot be listed is
  // refused too.
  bool empty = true;
  if (!platform::read_dir(d, [&](const char *) { return empty = false; }))
    empty = false;
  if (!empty) {
    textf(stderr, "cartsift: %s: not empty; a bag is made in a new or empty directory\n",
                 path.c_str());
    return {};
  }
  if (!platform::can_write(d)) {
    textf(stderr, "cartsift: %s: cannot write there: %s\n", path.c_str(),
                 std::strerror(errno));
    return {};
  }
  return d;
}

// The set, as External-Description names it: each image's label, creation
// date and place in the set.
std::string description(const cart_set &s) {
  std::string d = "Recovered by cartsift from a QIC-113 backup set of " +
                  std::to_string(s.images.size()) +
                  (s.images.size() == 1 ? " image: " : " images: ");
  for (size_t k = 0; k < s.images.size(); k++) {
    const image_info &ii = s.images[k];
    std::string when = utc_text(ii.vt.date);
    if (when.size() == 20)
      when = when.substr(0, 10) + " " + when.substr(11, 8) + " UTC";
    d += (k ? "; " : "") + ii.path + ", cartridge " + std::to_string(ii.vt.seq) + ", label \"" +
         std::string(ii.vt.desc, strnlen(ii.vt.desc, sizeof ii.vt.desc)) + "\", created " + when;
  }
  for (unsigned q : s.missing)
    d += "; cartridge " + std::to_string(q) + " missing";
  return d + ".";
}

// A tag file written whole; false (errno) on failure.
bool write_tag(const platform::dir &dir, const std::string &name, const std::string &text) {
  text_file f;
  return f.open(dir, name) && f.put(text) && f.commit();
}

// The digest of a tag file, read back; empty when it cannot be read.
std::string file_digest(const platform::dir &dir, const std::string &name, hash_alg a) {
  fd_guard fd(
      platform::open_file(dir, name.c_str(), platform::OPEN_READ | platform::OPEN_NOFOLLOW));
  if (fd.get() < 0)
    return "";
  digests d({a});
  d.start();
  uint8_t b[64 << 10];
  int64_t n;
  while ((n = platform::read_full(fd.get(), b, sizeof b, -1)) > 0)
    d.add(b, size_t(n));
  return n < 0 ? "" : d.finish()[0];
}

} // namespace

int do_bag(const options &o) {
  // The payload's digests: SHA-512 always, and each one asked for.
  options po = o;
  po.hashes = {hash_alg::sha512};
  for (hash_alg a : o.hashes)
    if (a != hash_alg::sha512)
      po.hashes.push_back(a);

  platform::dir dir = bag_dir(o.out);
  if (!dir.ok())
    return 2;
  platform::dir data;
  if (platform::make_dir(dir, "data"))
    data = platform::open_dir(dir, "data", true);
  interrupt_guard signals;
  bag_log log(po.hashes);
  if (!data.ok() || !log.open(dir, po.hashes)) {
    textf(stderr, "cartsift: %s: cannot write there: %s\n", o.out.c_str(),
                 std::strerror(errno));
    return 2;
  }
  std::unique_ptr<cart_set> s = open_set(po);
  if (!s)
    return 2;
  const int status = extract_into(po, *s, data, &log);

  char today[16] = "";
  const time_t now = std::time(nullptr);
  struct tm tm;
  if (platform::local_time(now, &tm))
    std::strftime(today, sizeof today, "%Y-%m-%d", &tm);
  const std::vector<std::string> tags = {"bagit.txt", "bag-info.txt", "cartsift-report.jsonl"};
  bool ok = log.commit() &&
            write_tag(dir, tags[0],
                      "BagIt-Version: 1.0\nTag-File-Character-Encoding: UTF-8\n") &&
            write_tag(dir, tags[1],
                      "Bagging-Date: " + std::string(today) + "\nPayload-Oxum: " +
                          std::to_string(log.octets) + "." + std::to_string(log.files) +
                          "\nBag-Software-Agent: cartsift " CARTSIFT_VERSION
                          "\nExternal-Description: " + description(*s) + "\n");
  // The tag manifests cover every tag file, the payload manifests included.
  for (size_t k = 0; ok && k < po.hashes.size(); k++) {
    const hash_alg a = po.hashes[k];
    std::vector<std::string> names = tags;
    for (hash_alg m : po.hashes)
      names.push_back("manifest-" + std::string(hash_name(m)) + ".txt");
    std::string text;
    for (const auto &n : names) {
      const std::string h = file_digest(dir, n, a);
      ok = ok && !h.empty();
      text += sum_lines(sums_style::bagit, {a}, n, {h});
    }
    ok = ok && write_tag(dir, "tagmanifest-" + std::string(hash_name(a)) + ".txt", text);
  }
  if (!ok) {
    textf(stderr, "cartsift: %s: cannot write the bag's tag files: %s\n", o.out.c_str(),
                 std::strerror(errno));
    return std::max(status, 1);
  }
  return status;
}

} // namespace cartsift::cli
