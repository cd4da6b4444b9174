// --list: the archive paths of every entry, in stream order, plain, in the
// tar -tv shape, or as JSON Lines; with --hash, checksum lines of the files.
#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

void put(const std::string &s) { text(stdout, s); }

std::string attrs(const walk_entry &e) {
  const uint8_t a = e.info.attrib;
  std::string s = "-----";
  if (kind_of(e) != kind::file)
    s[0] = 'd';
  if (a & 0x01)
    s[1] = 'r';
  if (a & 0x02)
    s[2] = 'h';
  if (a & 0x04)
    s[3] = 's';
  if (a & 0x20)
    s[4] = 'a';
  return s;
}

const char *type_name(kind k) {
  return k == kind::drive ? "drive" : k == kind::dir ? "dir" : "file";
}

class lister final : public everyday_walk {
public:
  lister(const cart_set &s, const options &o) : everyday_walk(s, o), dg_(o.hashes) {}
  totals t;

  void entry(walk_entry &e) override {
    note_holes();
    t.add(e);
    const std::string path = archive_path(e, opt_.raw_names);
    const std::string text = opt_.json || !dg_.empty() ? std::string() : shown(path);
    hashing_ = false;
    const bool sums = !dg_.empty() && kind_of(e) == kind::file;
    if (sums) {
      // What --extract would write: the whole file, or with --keep-partial
      // what there is of it. Said here, as a file left out is news.
      partial_ = e.avail < e.flen || file_error(e);
      hashing_ = !left_out(e, path, nullptr, "listed");
      dg_.start();
    }
    if (opt_.json) {
      place p = where(set_, e.off);
      nlohmann::ordered_json &j = j_;
      j = nlohmann::ordered_json();
      j["path"] = path;
      j["type"] = type_name(kind_of(e));
      j["size"] = e.flen;
      const entry_info &i = e.info;
      if (i.standard) {
        const std::string sn = short_name(e, opt_.raw_names);
        if (!sn.empty())
          j["short_name"] = sn;
        auto date = [](uint32_t when) {
          return when ? nlohmann::ordered_json(utc_text(when)) : nlohmann::ordered_json(nullptr);
        };
        j["created"] = date(i.ctime);
        j["accessed"] = date(i.atime);
        j["mtime"] = date(i.mtime);
      } else {
        j["mtime"] = utc_text(i.mtime);
      }
      j["attrib"] = i.attrib;
      j["file_error"] = file_error(e);
      if (kind_of(e) == kind::dir)
        j["empty_dir"] = i.standard && (e.pflg & PF_EMPTY_DIR) != 0;
      j["layout"] = i.standard ? "standard" : "fixed";
      j["image"] = p.img->path;
      j["offset"] = p.off;
      j["images"] = images_spanned(set_, e);
      if (kind_of(e) == kind::file)
        for (hash_alg a : opt_.hashes)
          j[hash_name(a)] = nullptr;
    }
    if (hashing_) {
      path_ = path;
      flen_ = e.flen;
      if (e.flen == 0)
        emit(0);
    } else if (opt_.json) {
      put(j_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
      cli::text(stdout, "\n");
    } else if (!dg_.empty()) {
      // Checksum lines are for files, whole or kept in part.
    } else if (opt_.verbose) {
      textf(stdout, "%s %12llu %s %s\n", attrs(e).c_str(), static_cast<unsigned long long>(e.flen),
                  local_text(e.info.mtime).c_str(), text.c_str());
    } else {
      put(text);
      cli::text(stdout, "\n");
    }
    if (e.flen > 0 && !sums)
      damaged(e, path);
  }

  data_use data(walk_entry &e) override {
    if (!hashing_)
      return data_use::skip;
    bool rfail;
    const int64_t got = pass_data(
        set_.sfd, e.avail, &dg_, [](const uint8_t *, size_t) { return true; }, &rfail);
    if (got < e.avail) {
      place p = where(set_, e.data + got);
      rep.problem(p.img->path, p.off, "read", "%s: data cannot be read",
                  in_message(path_).c_str());
      hashing_ = false;
      if (opt_.json) {
        put(j_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
        text(stdout, "\n");
      }
      return seek_to(set_.sfd, e.data) ? data_use::skip : data_use::failed;
    }
    emit(got);
    return data_use::consumed;
  }

private:
  // The file's digests, in its JSON object or as its checksum lines.
  void emit(int64_t got) {
    const std::vector<std::string> &hex = dg_.finish();
    if (opt_.json) {
      for (size_t k = 0; k < hex.size(); k++)
        j_[hash_name(opt_.hashes[k])] = hex[k];
      put(j_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
      text(stdout, "\n");
      return;
    }
    put(sum_lines(sums_style::sums, opt_.hashes, path_, hex));
    if (partial_)
      put(damage_note(got, flen_));
  }

  digests dg_;
  bool hashing_ = false, partial_ = false;
  std::string path_;
  int64_t flen_ = 0;
  nlohmann::ordered_json j_;
};

} // namespace

int do_list(const options &o, const cart_set &s) {
  lister l(s, o);
  walk_set(s, l);
  l.note_holes();
  if (o.json)
    l.t.json_summary(s);
  return rep.problems + rep.skipped > 0 ? 1 : 0;
}

} // namespace cartsift::cli
