// Byte sources behind handles: many open at once each keep their own window
// and position, a closed handle's number reads as a plain descriptor again,
// and two threads reading two sources see what one thread sees.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <random>
#include <thread>

#include "image/image.h"
#include "set/set.h"
#include "img_builder.h"
#include "support/capture.h"

namespace cartsift {
namespace {

using bytes = std::vector<uint8_t>;
using testing::scratch_image;

bytes noise(size_t n, unsigned seed) {
  std::mt19937 g(seed);
  bytes b(n);
  for (auto &c : b)
    c = uint8_t(g() % 7 == 0 ? 0 : g()); // zeros keep it compressible
  return b;
}

// The images of one source and the bytes it must read as.
struct fixture {
  std::vector<std::unique_ptr<scratch_image>> files;
  std::vector<set_part> parts; // empty: a plain image
  bytes want;
  int open() const { return parts.empty() ? img_open(files[0]->path().c_str()) : set_open(parts); }
};

enum kind { plain, set_of_two, compressed, compressed_spanning };

fixture make(kind k, unsigned seed) {
  fixture f;
  if (k == plain || k == set_of_two) {
    for (int i = 0; i < (k == plain ? 1 : 2); i++) {
      const bytes b = noise(300000 + 7000 * seed, seed + unsigned(i));
      f.files.push_back(std::make_unique<scratch_image>(b));
      const ptrdiff_t out = k == plain ? 0 : 16; // bytes before and after the region
      if (k == set_of_two)
        f.parts.push_back({f.files.back()->path(), out, int64_t(b.size()) - out});
      f.want.insert(f.want.end(), b.begin() + out, b.end() - out);
    }
    return f;
  }
  build::image im;
  im.header(0, build::hdr_text(5, 1));
  im.vtbl({});
  const bytes data = noise(400000, seed);
  const std::string text(data.begin(), data.end());
  const uint32_t t = build::utc(1997, 3, 1);
  const size_t cat =
      build::backup(im, {build::drive_spec("C:"), build::file_entry("N.BIN", {}, text, t)});
  build::finish(im, cat);
  f.want.assign(im.b.begin() + DATA_START, im.b.begin() + ptrdiff_t(cat));
  const bool span = k == compressed_spanning;
  const build::image c = build::compress_image(im, {.spanning = span, .frame_in = 5000});
  f.files.push_back(std::make_unique<scratch_image>(c.b));
  const int64_t dblk = (c.get_u32(VTBL_OFFSET + 92) + BLOCK_SIZE - 1) / BLOCK_SIZE;
  f.parts.push_back({f.files[0]->path(), DATA_START, (c.get_u32(10) - dblk) * BLOCK_SIZE, false,
                     true, span});
  return f;
}

// A walk's reads: mostly short ones going forward, passes over longer
// runs, now and then a jump. False at the first byte that differs.
bool reads_right(int h, const bytes &want, unsigned seed, int steps) {
  std::mt19937 g(seed);
  const int64_t size = int64_t(want.size());
  int64_t at = 0;
  bytes got(70000);
  for (int s = 0; s < steps; s++) {
    const unsigned how = g() % 16;
    at = how == 0 ? int64_t(g() % want.size()) : std::min(size, at + int64_t(g() % 200));
    if (img_seek(h, at, SEEK_SET) != at)
      return false;
    if (how == 1) { // a pass; the position after it must be right
      const int64_t n = std::min<int64_t>(g() % 100000, size - at);
      if (img_pass(h, n) != n || img_seek(h, 0, SEEK_CUR) != at + n)
        return false;
      at += n;
      continue;
    }
    const size_t n = how == 2 ? g() % got.size() : 1 + g() % 120;
    const int64_t r = img_read(h, got.data(), n);
    if (r != std::min<int64_t>(int64_t(n), size - at) ||
        !std::equal(got.begin(), got.begin() + r, want.begin() + at))
      return false;
    at += r;
  }
  return true;
}

TEST(Sources, ManyOpenAtOnceEachKeepTheirOwn) {
  // Three of each kind, read in turns, so that no two neighbouring reads
  // are of one source.
  std::vector<fixture> fx;
  for (unsigned i = 0; i < 12; i++)
    fx.push_back(make(kind(i % 4), i));
  std::vector<int> h;
  for (const fixture &f : fx) {
    h.push_back(f.open());
    ASSERT_GE(h.back(), 0);
  }
  for (int round = 0; round < 20; round++)
    for (size_t i = 0; i < fx.size(); i++)
      ASSERT_TRUE(reads_right(h[i], fx[i].want, unsigned(100 * round + i), 10))
          << "source " << i << " round " << round;
  // Closed, a handle's number is nobody's: reopened by the kernel for a
  // plain descriptor, it reads that file from its own position.
  for (int x : h)
    img_close(x);
  int fd = ::open(fx[0].files[0]->path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, 5, SEEK_SET), 5);
  uint8_t b[3];
  EXPECT_EQ(img_read(fd, b, 3), 3);
  EXPECT_TRUE(std::equal(b, b + 3, fx[0].want.begin() + 5));
  EXPECT_EQ(img_seek(fd, 0, SEEK_CUR), 8);
  img_close(fd);
  EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), -1); // closed as well
}

TEST(Sources, TwoThreadsReadTwoSourcesAsOneDoes) {
  // Each thread opens, reads and closes its own sources in rounds, so that
  // opens and closes on one side meet lookups on the other. The compressed
  // ones decode ahead on threads of their own.
  const std::pair<kind, kind> pairs[] = {{plain, compressed_spanning},
                                         {compressed, compressed_spanning},
                                         {set_of_two, plain}};
  for (const auto &[ka, kb] : pairs) {
    const fixture a = make(ka, 1), b = make(kb, 2);
    auto run = [](const fixture *f, bool *ok) {
      for (unsigned round = 0; round < 3 && *ok; round++) {
        img_handle h(f->open());
        *ok = h.get() >= 0 && reads_right(h.get(), f->want, round, 150);
      }
    };
    bool alone = true, ok_a = true, ok_b = true;
    run(&a, &alone);
    run(&b, &alone);
    ASSERT_TRUE(alone) << ka << " " << kb;
    std::thread ta(run, &a, &ok_a), tb(run, &b, &ok_b);
    ta.join();
    tb.join();
    EXPECT_TRUE(ok_a && ok_b) << ka << " " << kb;
  }
}

// A source that is never read: the table only holds it.
struct idle final : window::source {
  int64_t size() override { return 0; }
  int64_t read(void *, size_t) override { return 0; }
  int64_t pass(int64_t) override { return 0; }
  int64_t copy(int, int64_t, bool *) override { return 0; }
  int64_t find(int64_t, uint32_t) override { return -1; }
  int64_t run_end(int64_t) override { return 0; }
};

TEST(Sources, HandleTableGrowsUnderLookups) {
  // Numbers far apart make the table grow again and again while another
  // thread keeps looking one up. Static: the table never frees what it grew.
  static window::handle_table t;
  idle a, far[4];
  t.put(7, &a);
  std::atomic<bool> started{false}, stop{false};
  bool seen = true;
  std::thread reader([&] {
    started.store(true);
    while (!stop.load())
      seen = seen && t.get(7) == &a && t.get(-1) == nullptr;
  });
  while (!started.load())
    std::this_thread::yield();
  const int numbers[] = {300, 5000, 70000, 1 << 20};
  for (int i = 0; i < 4; i++)
    t.put(numbers[i], &far[i]);
  stop.store(true);
  reader.join();
  EXPECT_TRUE(seen);
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(t.get(numbers[i]), &far[i]);
    EXPECT_EQ(t.remove(numbers[i]), &far[i]);
    EXPECT_EQ(t.get(numbers[i]), nullptr);
  }
  EXPECT_EQ(t.get(299), nullptr);
  EXPECT_EQ(t.remove(1 << 24), nullptr); // never grown to
  EXPECT_EQ(t.remove(7), &a);
}

} // namespace
} // namespace cartsift
