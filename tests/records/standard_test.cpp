// Entries as the QIC-113 standard lays them out, each variant of the
// description list read, listed and extracted through the everyday
// interface; the same bytes with their IDs zeroed read as they always did.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <functional>

#include <nlohmann/json.hpp>

#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;

build::image one_backup(const std::vector<build::entry> &es) {
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  build::finish(img, build::backup(img, es));
  return img;
}

const uint32_t CREATED = build::utc(1994, 3, 1, 8), ACCESSED = build::utc(1996, 7, 9, 12),
               MODIFIED = build::utc(1995, 5, 5, 10, 30), DOS_MODIFIED = MODIFIED + 1;

struct variant {
  const char *what;
  std::function<void(build::entry &)> make;
  const char *path, *short_name; // short_name: nullptr when none is listed
  uint32_t mtime;
  bool os_dates; // created and accessed are known
  bool problem;  // --test finds one
};

std::string rfc3339(uint32_t t) {
  const time_t tt = t;
  char s[32];
  std::strftime(s, sizeof s, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&tt));
  return s;
}

build::entry sample_file(const std::string &name, const std::string &data) {
  build::entry e = build::file_entry(name, {"DOCS"}, data, 0, L::A_ARCHIVE | L::A_RDONLY);
  e.name2 = "SHORT~1.TXT";
  e.t1 = CREATED;
  e.t2 = ACCESSED;
  e.t3 = MODIFIED;
  e.t4 = DOS_MODIFIED;
  e.std = build::std_layout{};
  return e;
}

TEST(StandardEntries, EachVariantListsExtractsAndTests) {
  const std::string body = "contents, byte for byte\n";
  const char *const LONG = "C:/DOCS/Long name.txt", *const SHORT = "SHORT~1.TXT";
  const variant vs[] = {
      {"Windows 95", [](build::entry &) {}, LONG, SHORT, DOS_MODIFIED, true, false},
      {"NT", [](build::entry &e) { e.std->os = build::os_desc::nt; }, LONG, SHORT, DOS_MODIFIED,
       true, false},
      {"no vendor", [](build::entry &e) { e.std->vendor = false; }, LONG, SHORT, DOS_MODIFIED,
       true, false},
      {"UNIX", [](build::entry &e) { e.std->os = build::os_desc::unix_; }, LONG, SHORT,
       DOS_MODIFIED, false, false},
      {"DOS only", [](build::entry &e) { e.std->os = build::os_desc::none; },
       "C:/DOCS/SHORT~1.TXT", SHORT, DOS_MODIFIED, false, false},
      {"one more", [](build::entry &e) { e.std->extra.push_back({99, 0, {1, 2, 3}, "xx"}); },
       LONG, SHORT, DOS_MODIFIED, true, false},
      {"no DOS", [](build::entry &e) { e.std->dos = false; }, LONG, nullptr, MODIFIED, true,
       false},
      {"dates apart", [](build::entry &e) { e.t4 = MODIFIED + 60; }, LONG, SHORT, MODIFIED + 60,
       true, true},
      {"file error", [](build::entry &e) { e.pflg |= L::TF_FILE_ERROR; }, LONG, SHORT,
       DOS_MODIFIED, true, true},
  };
  for (const variant &v : vs) {
    SCOPED_TRACE(v.what);
    temp_dir d;
    build::entry f = sample_file("Long name.txt", body);
    v.make(f);
    const std::vector<build::entry> es = {build::drive_spec("C:"),
                                          build::dir_entry("DOCS", {}, CREATED), f};
    write_image(d, one_backup(es), "s.113");

    run_output r = run_bin_err({"--list", "--json", "s.113"}, d.path.c_str());
    std::vector<nlohmann::json> js;
    for (size_t at = 0, nl; (nl = r.out.find('\n', at)) != std::string::npos; at = nl + 1)
      js.push_back(nlohmann::json::parse(r.out.substr(at, nl - at)));
    ASSERT_EQ(js.size(), 4u);
    const nlohmann::json &j = js[2];
    EXPECT_EQ(j["path"], v.path);
    EXPECT_EQ(j["layout"], "standard");
    EXPECT_EQ(j["size"], body.size());
    EXPECT_EQ(j.contains("short_name"), v.short_name != nullptr);
    if (v.short_name) {
      EXPECT_EQ(j["short_name"], v.short_name);
    }
    EXPECT_EQ(j["mtime"], rfc3339(v.mtime));
    EXPECT_EQ(j["created"], v.os_dates ? nlohmann::json(rfc3339(CREATED)) : nlohmann::json());
    EXPECT_EQ(j["accessed"], v.os_dates ? nlohmann::json(rfc3339(ACCESSED)) : nlohmann::json());
    EXPECT_EQ(j["attrib"], L::A_ARCHIVE | L::A_RDONLY);
    EXPECT_EQ(j["file_error"], (f.pflg & L::TF_FILE_ERROR) != 0);

    r = run_bin_err({"--test", "s.113"}, d.path.c_str());
    EXPECT_EQ(r.status, v.problem ? 1 : 0) << r.err;

    r = run_bin_err({"--extract", "-C", "out", "s.113"}, d.path.c_str());
    const std::string out = d.path + "/out/C_/" + (v.path + 3);
    struct stat st {};
    if (f.pflg & L::TF_FILE_ERROR) {
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find("could not read it when the backup was made"), std::string::npos);
      EXPECT_NE(lstat(out.c_str(), &st), 0);
      continue;
    }
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lstat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, time_t(v.mtime));
    EXPECT_EQ(st.st_atime, time_t(v.os_dates ? ACCESSED : v.mtime));
    EXPECT_EQ(st.st_mode & 0222, 0u); // read-only
    EXPECT_EQ(read_file(out), body);
  }
}

// A writer that leaves the description IDs and sizes at zero: the entry
// reads by the fixed layout, as it always has, creation date and all.
TEST(StandardEntries, ZeroedIdsReadAsBefore) {
  temp_dir d;
  const build::entry f = sample_file("Long name.txt", "abc");
  std::vector<size_t> offs;
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  build::finish(img, build::backup(img, {build::drive_spec("C:"), f}, &offs));
  // The data, Windows 95 and DOS descriptions' IDs and sizes, but for the
  // data size's low half, which is flen.
  const size_t e = offs[1], n1 = 2 * f.name.size();
  for (size_t p : {e + 19, e + 33, e + 75 + n1})
    for (size_t k = 0; k < 10; k++)
      if (p != e + 19 || k < 2 || k >= 6)
        img.b[p + k] = 0;
  write_image(d, img, "z.113");
  run_output r = run_bin_err({"--list", "--json", "z.113"}, d.path.c_str());
  EXPECT_NE(r.out.find("\"path\":\"C:/DOCS/Long name.txt\",\"type\":\"file\",\"size\":3,"
                       "\"mtime\":\"" + rfc3339(CREATED) + "\""),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"layout\":\"fixed\""), std::string::npos);
}

// A file of 5 GiB, its data a hole in the image: the data description's
// 64-bit size is the file's, and the entry after it is found past it.
TEST(StandardEntries, FileOfFiveGiB) {
  temp_dir d;
  const uint64_t n = (5ull << 30) + 1;
  build::entry big = sample_file("Big.bin", "");
  big.std->size = n;
  std::vector<build::entry> es = {build::drive_spec("C:"), build::dir_entry("DOCS", {}, CREATED),
                                  big, sample_file("After.txt", "after")};
  es.back().pflg |= L::PF_END;
  build::file_image fi(d.file("big.113"));
  fi.start(0, build::hdr_text(1, 1), {});
  for (const build::entry &e : es)
    (void)(&e == &es[2] ? fi.dir_entry(e, n, {}) : fi.dir_entry(e));
  fi.pad_to(fi.next_block());
  const uint64_t cat = fi.size();
  for (const build::entry &e : es)
    fi.cat_entry(e);
  fi.cat_end();
  fi.finish(cat);
  fi.close();
  run_output r = run_bin_err({"--list", "--json", "big.113"}, d.path.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"path\":\"C:/DOCS/Big.bin\",\"type\":\"file\",\"size\":5368709121,"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"path\":\"C:/DOCS/After.txt\""), std::string::npos);
  r = run_bin_err({"--extract", "-C", "out", "--include=*After*", "big.113"}, d.path.c_str());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(read_file(d.file("out/C_/DOCS/After.txt")), "after");
}

} // namespace
} // namespace cartsift
