// A compressed volume's own view: reads in every order against the plain
// bytes, with the read-ahead worker running, refused, and dropped by seeks;
// a damaged extent as one hole reported once; two views of one image read
// on two threads at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <thread>

#include "image/image.h"
#include "zvol/zvol.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using bytes = std::vector<uint8_t>;
using window::zview_source;

struct volume {
  bool span = false;
  temp_dir dir;
  build::image z;
  std::string path;
  bytes want;               // the plain data region
  int64_t end = 0;          // of the segments in the image
  std::vector<int64_t> ext; // where each extent starts, then the size
};

std::unique_ptr<zview_source> open_view(const volume &v, const std::string &path) {
  std::string why;
  auto s = zview_source::open(path, int64_t(L::DATA_START), v.end, v.span, &why);
  EXPECT_TRUE(s) << why;
  return s;
}

// Runs of words that compress between runs of noise that do not, so that
// extents come in many sizes, and enough of them for several index blocks.
// Built once for each layout and shared by the tests.
const volume &vol(bool span) {
  static std::unique_ptr<volume> made[2];
  if (made[span])
    return *made[span];
  auto v = std::make_unique<volume>();
  std::mt19937 g(11);
  std::string data;
  const char *const words[] = {"tape ", "segment ", "extent ", "frame ", "cartridge\r\n"};
  while (data.size() < (5 << 20)) {
    const bool noise = g() % 3 != 0;
    for (const size_t end = data.size() + 1000 + g() % 40000; data.size() < end;) {
      const uint32_t r = g();
      data += noise ? std::string(reinterpret_cast<const char *>(&r), 4) : words[r % 5];
    }
  }
  build::image plain;
  plain.header(0, build::hdr_text(1, 1));
  plain.vtbl({});
  const size_t cat = build::backup(plain, {build::file_entry("V.DAT", {}, data, 0)});
  build::finish(plain, cat);
  v->span = span;
  v->want.assign(plain.b.begin() + L::DATA_START, plain.b.begin() + ptrdiff_t(cat));
  v->z = build::compress_image(plain, {.spanning = span, .frame_in = 8000});
  v->path = write_image(v->dir, v->z, "z.113");
  const int64_t blk = L::BLOCK_SIZE, dblk = (v->z.get_u32(L::VTBL_OFFSET + 92) + blk - 1) / blk;
  v->end = (v->z.get_u32(10) - dblk) * blk;
  auto s = open_view(*v, v->path);
  for (int64_t at = 0; s && at < s->size(); at = s->next_extent(at))
    v->ext.push_back(at);
  v->ext.push_back(int64_t(v->want.size()));
  made[span] = std::move(v);
  return *made[span];
}

// Bytes [at, at + n) through s, as the plain region has them.
::testing::AssertionResult reads(window::source &s, const bytes &want, int64_t at, int64_t n) {
  bytes b = bytes(size_t(n));
  const int64_t r = s.seek(at, SEEK_SET) == at ? s.read(b.data(), b.size()) : -2;
  if (r == n && std::equal(b.begin(), b.end(), want.begin() + at))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << n << " bytes at " << at << " read as " << r;
}

// The extents in the given order, each in two reads: a walk's short one at
// its start, then the rest.
::testing::AssertionResult reads_in(window::source &s, const volume &v,
                                    const std::vector<size_t> &order) {
  for (size_t i : order) {
    const int64_t at = v.ext[i], end = v.ext[i + 1], mid = std::min(end, at + 300);
    for (const auto &[a, b] : {std::pair(at, mid), std::pair(mid, end)})
      if (auto r = reads(s, v.want, a, b - a); !r)
        return r << " (extent " << i << ")";
  }
  return ::testing::AssertionSuccess();
}

TEST(ZView, ReadsInEveryOrderGiveThePlainBytes) {
  for (const bool refused : {false, true})
    for (const bool span : {false, true}) {
      const volume &v = vol(span);
      const size_t n = v.ext.size() - 1, h = n / 2;
      ASSERT_GT(n, 2 * 64u) << "too few extents for three index blocks";
      std::vector<size_t> forward(n), backward(n), far;
      std::iota(forward.begin(), forward.end(), 0);
      std::iota(backward.rbegin(), backward.rend(), 0);
      for (size_t i = 0; i < n; i++) // the ends inwards, blocks apart
        far.push_back(i % 2 ? n - 1 - i / 2 : i / 2);
      const std::pair<const char *, std::vector<size_t>> plans[] = {
          {"forward", forward},
          {"backward", backward},
          {"far", far},
          // Forward reads queue extents ahead; each jump drops them, whether
          // it lands far on, behind, or just past the next one queued, and
          // reading forward again queues anew.
          {"seeks among the queued",
           {0, 1, 2, 3, 4, 5, h, h + 1, h + 2, 3, 4, 5, 6, 8, 10, 11, 12, n - 2, n - 1, 0, 1, 2}},
      };
      window::refuse_worker = refused;
      const unsigned started = window::workers_started.load();
      for (const auto &[name, order] : plans) {
        if (auto s = open_view(v, v.path)) {
          EXPECT_TRUE(reads_in(*s, v, order))
              << name << (span ? ", spanning" : "") << (refused ? ", no worker" : "");
        }
      }
      window::refuse_worker = false;
      // On one core no worker is wanted; CI's machines have two.
      if (refused || std::thread::hardware_concurrency() < 2)
        EXPECT_EQ(window::workers_started.load(), started);
      else
        EXPECT_GT(window::workers_started.load(), started);
    }
}

TEST(ZView, ADamagedExtentIsOneHoleReportedOnce) {
  for (const bool span : {false, true}) {
    SCOPED_TRACE(span ? "spanning" : "one extent a segment");
    const volume &v = vol(span);
    build::image z = v.z;
    // Where segment k's first extent starts in the image; 0 when none does.
    auto first = [&](size_t k) -> size_t {
      const size_t s = L::DATA_START + k * L::BLOCK_SIZE;
      return !span ? s : z.get_u16(s) ? s + z.get_u16(s) : 0;
    };
    size_t k = size_t(v.end - int64_t(L::DATA_START)) / L::BLOCK_SIZE / 2, next;
    while (first(k) == 0)
      k++;
    for (next = k + 1; first(next) == 0;)
      next++;
    // Its first frame made a compressed one whose first copy reaches back
    // before the frame's start. Offsets are below 4 GiB: the low word does.
    const size_t at = first(k);
    const int64_t from = z.get_u32(at), to = z.get_u32(first(next));
    z.put_u16(at + 8, z.get_u16(at + 8) & 0x7FFF);
    z.put_u16(at + 10, 0xFFFF);
    auto s = open_view(v, write_image(v.dir, z, "bad.113"));
    ASSERT_TRUE(s);
    const int64_t size = s->size();
    ASSERT_TRUE(0 < from && from < to && to < size) << from << " " << to;

    // Forward through it (decoded ahead), then at it, then behind it.
    for (int round = 0; round < 2; round++) {
      bytes b = bytes(size_t(size));
      ASSERT_EQ(s->seek(0, SEEK_SET), 0);
      EXPECT_EQ(s->read(b.data(), b.size()), from);
      EXPECT_TRUE(std::equal(b.begin(), b.begin() + from, v.want.begin()));
      for (const int64_t in : {from, to - 1}) {
        ASSERT_EQ(s->seek(in, SEEK_SET), in);
        EXPECT_EQ(s->read(b.data(), 1), -1) << in;
      }
      EXPECT_TRUE(reads(*s, v.want, to, size - to));
      EXPECT_TRUE(reads(*s, v.want, from - 5000, 5000));
    }
    const std::vector<z_hole> &hs = s->info().holes;
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(hs[0].from, from);
    EXPECT_EQ(hs[0].to, to);
    EXPECT_EQ(hs[0].why, "extent in segment " + std::to_string(k) +
                             " has a frame that refers before its start");
  }
}

TEST(ZView, TwoViewsOfOneImageReadOnTwoThreads) {
  for (const bool span : {false, true}) {
    const volume &v = vol(span); // built before the threads share it
    // Mostly onward, so that both decode ahead; now and then a jump.
    auto run = [&v](unsigned seed, bool *ok) {
      const size_t n = v.ext.size() - 1;
      std::mt19937 g(seed);
      std::vector<size_t> order{0};
      while (order.size() < 200)
        order.push_back(g() % 8 == 0 ? g() % n : (order.back() + 1) % n);
      auto s = open_view(v, v.path);
      *ok = s && reads_in(*s, v, order);
    };
    bool ok_a = false, ok_b = false;
    std::thread a(run, 1u, &ok_a), b(run, 2u, &ok_b);
    a.join();
    b.join();
    EXPECT_TRUE(ok_a && ok_b) << (span ? "spanning" : "one extent a segment");
  }
}

} // namespace
} // namespace cartsift
