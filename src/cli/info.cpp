// --info: each image's volume table and layout, then the set as a whole.
#include <cstring>

#include <nlohmann/json.hpp>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

const char *const FLAG_NAMES[6] = {"vendor specific",   "spans cartridges",
                                   "not verified",      "reserved",
                                   "compressed spanning", "catalog follows data"};
const char *const OS_NAMES[8] = {"Extended",       "DOS Basic",  "Unix",         "OS/2",
                                 "Novell NetWare", "Windows NT", "DOS Extended", "Windows 95"};

std::vector<std::string> flag_names(uint8_t f) {
  std::vector<std::string> v;
  for (int b = 0; b < 6; b++)
    if (f & (1 << b))
      v.emplace_back(FLAG_NAMES[b]);
  for (int b = 6; b < 8; b++)
    if (f & (1 << b))
      v.push_back("bit " + std::to_string(b));
  return v;
}

std::string os_name(uint8_t os) { return os < 8 ? OS_NAMES[os] : "unknown"; }

std::string label_of(const qic_vtbl &v) { return std::string(v.desc, strnlen(v.desc, 44)); }

// A cartridge that a backup runs on past holds its stream's data and no
// catalog; saying "in the stream" there would send a reader looking for one.
std::string catalog_place(const image_info &ii, const z_info &z) {
  if (ii.cat_stored)
    return "stored";
  return z.size > ii.vt.dataSz ? "stream" : "none";
}

class counter final : public everyday_walk {
public:
  using everyday_walk::everyday_walk;
  totals t;
  void entry(walk_entry &e) override {
    note_holes();
    t.add(e);
    if (e.flen > 0)
      damaged(e, archive_path(e, opt_.raw_names));
  }
};

} // namespace

int do_info(const options &o, const cart_set &s) {
  counter c(s, o);
  walk_set(s, c);
  set_inflate_all(s.sfd); // every hole counted, not only those the walk met
  c.note_holes();

  std::string present;
  for (const auto &ii : s.images)
    present += (present.empty() ? "" : ",") + std::to_string(ii.vt.seq);
  std::string missing;
  for (unsigned q : s.missing)
    missing += (missing.empty() ? "" : ",") + std::to_string(q);

  for (const auto &ii : s.images) {
    const qic_vtbl &v = ii.vt;
    const bool inside = ii.cats >= DATA_START && ii.cats < ii.size;
    if (o.json) {
      nlohmann::ordered_json j;
      j["image"] = ii.path;
      j["seq"] = v.seq;
      j["label"] = label_of(v);
      j["created"] = utc_text(v.date);
      j["flags"] = v.flag;
      j["flag_names"] = flag_names(v.flag);
      j["compression"] = v.comp;
      j["os_type"] = v.OStype;
      j["os"] = os_name(v.OStype);
      j["catalog_offset"] = ii.cats;
      j["catalog_inside"] = inside;
      j["size"] = ii.size;
      j["header_size"] = ii.hdr_size;
      j["truncated"] = ii.truncated();
      if (const z_info *z = set_zinfo(s.sfd, size_t(&ii - s.images.data()))) {
        nlohmann::ordered_json l;
        l["offset_width"] = z->width;
        l["spanning"] = z->spanning;
        l["segments"] = z->segments;
        l["extents"] = z->extents;
        l["compressed"] = z->zbytes;
        l["uncompressed"] = z->size;
        l["ratio"] = z->zbytes > 0 ? double(z->size) / double(z->zbytes) : 0.0;
        l["holes"] = int64_t(z->holes.size()) + z->more_holes;
        l["catalog"] = catalog_place(ii, *z);
        j["layout"] = l;
      }
      if (ii.njd == 2) {
        j["job"] = ii.job;
        j["disk"] = ii.disk;
      }
      textf(stdout, "%s\n", j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
      continue;
    }
    std::string flags;
    for (const auto &f : flag_names(v.flag))
      flags += (flags.empty() ? "" : ", ") + f;
    textf(stdout, "%s\n", ii.path.c_str());
    textf(stdout, "  sequence     %u\n", v.seq);
    textf(stdout, "  label        %s\n", label_of(v).c_str());
    std::string when = utc_text(v.date);
    if (when.size() == 20) // 1997-11-28T18:20:00Z
      when = when.substr(0, 10) + " " + when.substr(11, 8) + " UTC";
    textf(stdout, "  created      %s\n", when.c_str());
    textf(stdout, "  flags        0x%02x%s%s%s\n", v.flag, flags.empty() ? "" : " (",
                flags.c_str(), flags.empty() ? "" : ")");
    textf(stdout, "  compression  0x%02x%s\n", v.comp, v.comp ? "" : " (none)");
    textf(stdout, "  OS type      %u (%s)\n", v.OStype, os_name(v.OStype).c_str());
    textf(stdout, "  catalog at   0x%llx (%s)\n", static_cast<unsigned long long>(ii.cats),
                inside ? "inside the image" : "outside the image");
    textf(stdout, "  size         %lld bytes\n", static_cast<long long>(ii.size));
    if (ii.truncated())
      textf(stdout, "  truncated    %lld bytes, where its header gives %lld\n",
                  static_cast<long long>(ii.size), static_cast<long long>(ii.hdr_size));
    if (ii.njd == 2)
      textf(stdout, "  job, disk    %u, %u\n", ii.job, ii.disk);
    if (const z_info *z = set_zinfo(s.sfd, size_t(&ii - s.images.data()))) {
      textf(stdout, "  layout       %u-byte extent offsets, %s\n", z->width,
                  z->spanning ? "extents span segments" : "one extent a segment");
      textf(stdout, "  segments     %lld, %lld extents\n", static_cast<long long>(z->segments),
                  static_cast<long long>(z->extents));
      textf(stdout, "  inflated     %lld bytes from %lld (%.2f:1)\n",
                  static_cast<long long>(z->size), static_cast<long long>(z->zbytes),
                  z->zbytes > 0 ? double(z->size) / double(z->zbytes) : 0.0);
      const std::string where = catalog_place(ii, *z);
      textf(stdout, "  catalog      %s\n", where == "stored"   ? "stored uncompressed at its offset"
                                        : where == "stream" ? "in the stream, after the data"
                                                            : "none on this cartridge");
      textf(stdout, "  holes        %lld\n", static_cast<long long>(z->holes.size()) + z->more_holes);
    }
    textf(stdout, "\n");
  }

  if (o.json) {
    nlohmann::ordered_json j, set;
    set["cartridges"] = s.images.size();
    set["present"] = nlohmann::json::array();
    for (const auto &ii : s.images)
      set["present"].push_back(ii.vt.seq);
    set["missing"] = s.missing;
    set["backups"] = c.t.backups;
    set["entries"] = c.t.entries;
    set["files"] = c.t.files;
    set["dirs"] = c.t.dirs;
    set["drives"] = c.t.drives;
    set["bytes"] = c.t.bytes;
    set["standard_entries"] = c.t.standard;
    set["fixed_entries"] = c.t.fixed;
    set["both_mtimes"] = c.t.both_mtimes;
    set["mtimes_agree"] = c.t.agreeing;
    set["problems"] = rep.problems;
    j["set"] = set;
    textf(stdout, "%s\n", j.dump().c_str());
  } else {
    textf(stdout, "set\n");
    textf(stdout, "  cartridges   %zu present (%s), %zu missing%s%s%s\n", s.images.size(),
                present.c_str(), s.missing.size(), missing.empty() ? "" : " (", missing.c_str(),
                missing.empty() ? "" : ")");
    textf(stdout, "  backups      %d\n", c.t.backups);
    textf(stdout, "  entries      %llu (%llu drives, %llu directories, %llu files)\n",
                static_cast<unsigned long long>(c.t.entries),
                static_cast<unsigned long long>(c.t.drives),
                static_cast<unsigned long long>(c.t.dirs),
                static_cast<unsigned long long>(c.t.files));
    textf(stdout, "  bytes        %llu\n", static_cast<unsigned long long>(c.t.bytes));
    textf(stdout, "  layout       %llu entries read by the standard, %llu by the fixed layout\n",
                static_cast<unsigned long long>(c.t.standard),
                static_cast<unsigned long long>(c.t.fixed));
    textf(stdout, "  dates        %llu entries carry both modification dates, %llu of them agree\n",
                static_cast<unsigned long long>(c.t.both_mtimes),
                static_cast<unsigned long long>(c.t.agreeing));
  }
  return rep.problems + rep.skipped > 0 ? 1 : 0;
}

} // namespace cartsift::cli
