// --test holding a backup against its catalog: the reports for each way
// the two can differ, with the catalog read from the image and from the
// stream of a compressed volume.
#include <gtest/gtest.h>

#include <functional>

#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using testing::fmt;

const uint32_t T = build::utc(1998, 6, 1, 12, 0, 0);

// A first backup whose catalog agrees, then the one under test: drive C:
// and F01.TXT of 1 byte to F14.TXT of 14, its catalog changed by change.
// cat_off gets the catalog's offset (the inflated twin's too).
build::image two_backups(const std::function<void(std::vector<build::entry> &)> &change,
                         size_t *cat_off) {
  build::image img;
  img.header(0, build::hdr_text(7, 1));
  img.vtbl({});
  build::backup(img, {build::drive_spec("C:"), build::file_entry("A.TXT", {}, "a", T)});
  img.pad_to(img.next_block());
  std::vector<build::entry> es = {build::drive_spec("C:")};
  for (int i = 1; i <= 14; i++)
    es.push_back(build::file_entry(fmt("F%02d.TXT", i), {}, std::string(size_t(i), 'x'), T));
  es.back().pflg |= L::PF_END;
  for (const auto &e : es)
    img.dir_entry(e);
  img.pad_to(img.next_block());
  *cat_off = img.size();
  change(es);
  for (const auto &e : es)
    img.cat_entry(e);
  img.cat_end();
  build::finish(img, *cat_off);
  return img;
}

TEST(CatalogCheck, EachDifferenceIsReportedAsBefore) {
  using entries = std::vector<build::entry>;
  auto at = [](int k, const char *field) {
    return fmt("catalog entry %d differs from the data region in its %s", k, field);
  };
  const std::string shorter = "catalog holds 4 entries, the data region 15",
                    unreadable = "catalog unreadable after 7 entries";
  std::vector<std::string> twelve;
  for (int k = 3; k <= 12; k++)
    twelve.push_back(at(k, "time"));
  twelve.push_back("2 more catalog entries differ");
  struct row {
    const char *name;
    std::function<void(entries &)> change;
    std::vector<std::string> msgs; // after "IMAGE: 0xOFF: "
  } rows[] = {
      {"equal", [](entries &) {}, {}},
      {"name", [](entries &c) { c[0].name = "D:"; }, {at(1, "name")}},
      {"length", [](entries &c) { c[5].flen = 50; }, {at(6, "length")}},
      {"time", [](entries &c) { c[14].t1 += 2; }, {at(15, "time")}},
      {"attribute", [](entries &c) { c[9].attrib |= L::A_RDONLY; }, {at(10, "attribute")}},
      {"twelve differ", [](entries &c) { std::for_each(&c[2], &c[14], [](auto &e) { e.t1 = 0; }); },
       twelve},
      {"shorter", [](entries &c) { c.resize(4); }, {shorter}},
      {"shorter, one differing", [](entries &c) { c.resize(4), c[3].name = "G.TXT"; },
       {at(4, "name"), shorter}},
      {"longer", [](entries &c) { c.push_back(build::file_entry("GONE.TXT", {}, "g", T)); },
       {"catalog holds 16 entries, the data region 15"}},
      {"unreadable", [](entries &c) { c[7].tag = "XXXX"; }, {unreadable}},
      {"unreadable, one differing", [](entries &c) { c[1].flen = 0, c[7].tag = "XXXX"; },
       {at(2, "length"), unreadable}},
  };
  temp_dir d;
  for (const row &r : rows) {
    for (const bool compressed : {false, true}) {
      SCOPED_TRACE(std::string(r.name) + (compressed ? ", in the stream" : ""));
      size_t cat_off = 0;
      build::image img = two_backups(r.change, &cat_off);
      if (compressed) {
        build::comp_options o;
        o.catalog_in_stream = true;
        o.frame_in = 3000; // extents enough that the two streams part
        img = build::compress_image(img, o);
      }
      const std::string p = write_image(d, img, "t.113");
      std::string want;
      for (const auto &m : r.msgs)
        want += fmt("cartsift: %s: 0x%zx: %s\n", p.c_str(), cat_off, m.c_str());
      want += fmt("17 entries, 15 files, 106 bytes; %zu problems\n", r.msgs.size());
      const run_output t = run_bin_err({"--test", p});
      EXPECT_EQ(t.err, want);
      EXPECT_EQ(t.status, r.msgs.empty() ? 0 : 1);
    }
  }
}

} // namespace
} // namespace cartsift
