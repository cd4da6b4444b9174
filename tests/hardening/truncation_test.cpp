// The demo image cut short at every offset of its records (and at a stride
// through file data), run through every main command: each run ends in
// bounded time with a status, and the listing names the reader that met
// the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include "hardening/sweep.h"

namespace cartsift::hardening {
namespace {

namespace L = build::layout;

const char DEBUG_END[] = "\ndebug routine called and terminated execution\n\n";

bool has(const std::string &out, const std::string &s) { return out.find(s) != std::string::npos; }
bool ends_with(const std::string &out, const std::string &s) {
  return out.size() >= s.size() && out.compare(out.size() - s.size(), s.size(), s) == 0;
}

// Cuts in descending order, so each is a truncate of the file before it.
void sweep(guarded_runs &g, std::vector<size_t> cuts, const std::function<void(size_t)> &at) {
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  for (auto it = cuts.rbegin(); it != cuts.rend(); ++it) {
    g.truncate_to(*it);
    at(*it);
    if (::testing::Test::HasFailure())
      break; // one cut's report is enough to go on
  }
}

// Extraction of the cut entry's directory only; at the root, of nothing
// (a filter cannot name the root), so the walk still runs in extract mode.
std::vector<std::string> extract_args(const std::string &start, const entry_span &e) {
  return {start, "-x", "-pC:\\" + (e.dir.empty() ? std::string("NONE") : e.dir)};
}

struct demo_fixture : ::testing::Test {
  build::image demo = build::demo_image();
  std::vector<backup_span> backups = layout_of(demo);
  void SetUp() override { ASSERT_EQ(backups.size(), 2u); }
};

using Truncation = demo_fixture;

TEST_F(Truncation, InTheFileHeaderAndVolumeTable) {
  guarded_runs g(demo);
  std::vector<size_t> cuts;
  for (size_t c = 0; c < L::HDR_SIZE; c++)
    cuts.push_back(c);
  for (size_t c = L::HDR_SIZE; c < L::VTBL_OFFSET; c += 0x3e1)
    cuts.push_back(c);
  for (size_t c = L::VTBL_OFFSET; c < L::VTBL_OFFSET + 128; c++)
    cuts.push_back(c);
  cuts.push_back(L::VTBL_OFFSET + 128);
  cuts.push_back(L::DATA_START);
  sweep(g, cuts, [&](size_t cut) {
    run_result r = g.run({});
    if (cut < L::HDR_SIZE) {
      EXPECT_EQ(r.status, -2) << cut;
      EXPECT_TRUE(has(r.out, "\nonly read 0x" + hex(cut) + " bytes of 0x90 byte header"))
          << cut << r.out;
    } else if (cut < L::VTBL_OFFSET + 128) {
      EXPECT_EQ(r.status, -3) << cut;
      EXPECT_TRUE(has(r.out, "\nfailed to read VTBL header\nget_vtbl() failed\n")) << cut;
    } else {
      EXPECT_EQ(r.status, 0) << cut;
      EXPECT_TRUE(has(r.out, " - Warning catalog after EOF")) << cut;
    }
    r = g.run({"-f", "-di"});
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_TRUE(ends_with(r.out, DEBUG_END)) << cut;
    EXPECT_TRUE(has(r.out, "\nAbort, no DIR_SEG found in file!")) << cut;
    r = g.run({"-dd0"});
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_TRUE(ends_with(r.out, "\ndisplay raw file data called as stand alone routine\n\n"))
        << cut;
  });
  EXPECT_GT(g.runs(), 0);
  RecordProperty("cuts", int(cuts.size()));
}

// Every offset inside each entry's header and trailer.
TEST_F(Truncation, InEveryEntryHeaderAndTrailer) {
  guarded_runs g(demo);
  std::vector<size_t> cuts;
  struct where {
    size_t backup;
    const entry_span *e;
    bool trailer;
  };
  std::map<size_t, where> of;
  for (size_t b = 0; b < backups.size(); b++)
    for (const entry_span &e : backups[b].entries) {
      for (size_t c = e.off; c < e.data; c++)
        of[c] = {b, &e, false};
      for (size_t c = e.trailer; c < e.end; c++)
        of[c] = {b, &e, true};
    }
  for (auto &[c, w] : of)
    cuts.push_back(c);
  const std::string last_cat = hex(backups.back().cat);
  sweep(g, cuts, [&](size_t cut) {
    const where &w = of.at(cut);
    const std::string start = "-dd" + hex(backups[w.backup].entries.front().off);
    run_result r = g.run({start, "-v", "-vv"});
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_TRUE(ends_with(r.out, DEBUG_END)) << cut;
    if (w.trailer && w.e->last) {
      // The walk stops at PF_END before it would read the trailer.
      EXPECT_TRUE(has(r.out, "\nTerminate: saw PF_END flag in this record")) << cut;
    } else {
      EXPECT_TRUE(names_listing_end(r.out)) << cut << r.out.substr(r.out.size() - 300);
      EXPECT_TRUE(has(r.out, "\nparse_ucomp() at offset 0x" + start.substr(3) + " returned -"))
          << cut;
    }
    // The other commands take turns, so each meets every field of every
    // entry's header at one of three neighbouring cuts.
    switch (cut % 3) {
    case 0:
      r = g.run({"-di"});
      EXPECT_EQ(r.status, 1) << cut;
      EXPECT_TRUE(ends_with(r.out, DEBUG_END)) << cut;
      break;
    case 1:
      // The computed catalog offset lies past every cut here.
      r = g.run({"-c", "-t2"});
      EXPECT_EQ(r.status, -1) << cut;
      EXPECT_TRUE(has(r.out, "\nCatalog listing:\nread error")) << cut;
      break;
    default:
      r = g.run(extract_args(start, *w.e), "q\n");
      EXPECT_EQ(r.status, 1) << cut;
      EXPECT_TRUE(ends_with(r.out, DEBUG_END)) << cut;
      EXPECT_TRUE(has(r.out, " returned -") || (w.trailer && w.e->last)) << cut;
    }
  });
  RecordProperty("cuts", int(cuts.size()));
}

// Inside file data the listing only seeks, so the trailer read is what meets
// the end; extraction meets it in the copy.
TEST_F(Truncation, ThroughFileDataAtAStride) {
  guarded_runs g(demo);
  std::map<size_t, std::pair<size_t, const entry_span *>> of;
  for (size_t b = 0; b < backups.size(); b++)
    for (const entry_span &e : backups[b].entries) {
      if (e.trailer == e.data)
        continue;
      for (size_t c = e.data + 1; c < e.trailer; c += 257)
        of[c] = {b, &e};
      of[e.trailer - 1] = {b, &e};
    }
  std::vector<size_t> cuts;
  for (auto &[c, w] : of)
    cuts.push_back(c);
  sweep(g, cuts, [&](size_t cut) {
    const auto &[b, e] = of.at(cut);
    const std::string start = "-dd" + hex(backups[b].entries.front().off);
    run_result r = g.run({start});
    EXPECT_EQ(r.status, 1) << cut;
    if (!e->last) {
      // The skip over the data went past the end; nothing more was read.
      EXPECT_TRUE(has(r.out, "\nfailed to read valid trailer, bytes read below end at offset 0x" +
                                 hex(e->trailer) + ":\n\n"))
          << cut;
      EXPECT_TRUE(has(r.out, " returned -4")) << cut;
    }
    std::vector<std::string> xa = {start, "-x"};
    if (!e->dir.empty())
      xa.push_back("-pC:\\" + e->dir);
    r = g.run(xa, "q\n");
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_TRUE(has(r.out, "\nfile io error")) << cut;
    EXPECT_TRUE(has(r.out, "\nfatal error in do_extract(), abort")) << cut;
    EXPECT_TRUE(has(r.out, " returned -3")) << cut;
    r = g.run({"-di"});
    EXPECT_EQ(r.status, 1) << cut;
    EXPECT_TRUE(ends_with(r.out, DEBUG_END)) << cut;
  });
  RecordProperty("cuts", int(cuts.size()));
}

TEST_F(Truncation, InEveryCatalog) {
  guarded_runs g(demo);
  std::map<size_t, std::pair<size_t, size_t>> of; // cut -> backup, entry start
  for (size_t b = 0; b < backups.size(); b++) {
    std::vector<size_t> starts = backups[b].cat_entries;
    starts.push_back(backups[b].cat_end - L::CAT_END_SIZE);
    for (size_t i = 0; i < starts.size(); i++) {
      size_t to = i + 1 < starts.size() ? starts[i + 1] : backups[b].cat_end;
      for (size_t c = starts[i]; c < to; c++)
        of[c] = {b, starts[i]};
    }
  }
  std::vector<size_t> cuts;
  for (auto &[c, w] : of)
    cuts.push_back(c);
  sweep(g, cuts, [&](size_t cut) {
    const auto &[b, entry_at] = of.at(cut);
    const std::string cat = hex(backups[b].cat);
    run_result r = g.run({"-c" + cat + ":" + hex(backups[b].entries.front().off), "-t2"});
    EXPECT_LT(r.status, 0) << cut;
    if (cut - entry_at < 69) {
      EXPECT_TRUE(has(r.out, "\nread error")) << cut;
    }
    if (cut % 2) {
      r = g.run({"-c" + cat, "-t3"});
      EXPECT_LT(r.status, 0) << cut;
    } else {
      r = g.run({"-di"});
      EXPECT_EQ(r.status, 1) << cut;
      EXPECT_TRUE(ends_with(r.out, DEBUG_END)) << cut;
    }
  });
  RecordProperty("cuts", int(cuts.size()));
}

} // namespace
} // namespace cartsift::hardening
