// What the platform layer promises the output tree beyond a plain system
// call: its open flags, renames that keep or replace, listings, the files
// removed on interrupt, and UTF-8 conversions that end with their scope.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/base.h"
#include "platform/platform.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace fs = std::filesystem;
using namespace platform;

void put(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

TEST(Platform, OpenFlagsAgainstWhatTheNameIs) {
  enum what { missing, file, link };
  const struct {
    unsigned flags;
    what there;
    int err; // 0: opens
  } cases[] = {
      {OPEN_READ, missing, ENOENT},
      {OPEN_READ, link, 0},
      {OPEN_READ | OPEN_NOFOLLOW, link, ELOOP},
      {OPEN_RDWR | OPEN_CREATE, missing, 0},
      {OPEN_RDWR | OPEN_CREATE, file, 0},
      {OPEN_RDWR | OPEN_CREATE | OPEN_EXCL, file, EEXIST},
      {OPEN_RDWR | OPEN_CREATE | OPEN_EXCL, link, EEXIST},
      {OPEN_RDWR | OPEN_CREATE | OPEN_NOFOLLOW, link, ELOOP},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(::testing::Message() << "flags " << c.flags << " there " << c.there);
    temp_dir t;
    const dir d = open_dir(cwd(), t.path.c_str(), false);
    ASSERT_TRUE(d.ok());
    put(t.file("target"), "abc");
    if (c.there == file)
      put(t.file("n"), "abc");
    else if (c.there == link)
      fs::create_symlink("target", t.file("n"));
    errno = 0;
    fd_guard fd(open_file(d, "n", c.flags, 0600));
    EXPECT_EQ(fd.get() < 0 ? errno : 0, c.err);
    if (fd.get() >= 0) { // written only when opened for it
      EXPECT_EQ(write_some(fd.get(), "xy", 2), (c.flags & OPEN_RDWR) ? 2u : 0u);
    }
  }
}

TEST(Platform, RenameKeepsOrReplacesWhatIsThere) {
  for (bool replace : {false, true})
    for (bool taken : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "replace " << replace << " taken " << taken);
      temp_dir t;
      const dir d = open_dir(cwd(), t.path.c_str(), false);
      put(t.file("tmp"), "new");
      if (taken)
        put(t.file("final"), "old");
      errno = 0;
      const bool moved = replace || !taken;
      EXPECT_EQ(rename_at(d, "tmp", d, "final", replace), moved);
      EXPECT_EQ(read_file(t.file("final")), moved ? "new" : "old");
      EXPECT_EQ(fs::exists(t.file("tmp")), !moved);
      if (!moved) {
        EXPECT_EQ(errno, EEXIST);
      }
    }
}

TEST(Platform, ListingsNameEachEntryOnceEveryTime) {
  temp_dir t;
  for (const char *n : {"a", "b", "c"})
    put(t.file(n), "");
  fs::create_directory(t.file("sub"));
  const std::vector<std::string> all = {"a", "b", "c", "sub"};
  auto names = [](const dir &d) {
    std::vector<std::string> v;
    EXPECT_TRUE(read_dir(d, [&](const char *n) {
      v.push_back(n);
      return true;
    }));
    std::sort(v.begin(), v.end());
    return v;
  };
  const dir d = open_dir(cwd(), t.path.c_str(), false);
  EXPECT_EQ(names(d), all);
  EXPECT_EQ(names(d), all); // from the start again
  int seen = 0;
  EXPECT_TRUE(read_dir(d, [&](const char *) { return ++seen < 2; }));
  EXPECT_EQ(seen, 2);
  t.enter();
  EXPECT_EQ(names(cwd()), all);
}

TEST(Platform, InterruptRemovesTheFilesStillRegistered) {
  temp_dir t;
  const dir d = open_dir(cwd(), t.path.c_str(), false);
  put(t.file("part"), "");
  put(t.file("done"), "");
  EXPECT_EXIT(
      {
        interrupt_guard outer;
        { interrupt_guard inner; } // the outer one still holds
        (void)remove_on_interrupt(d, "part");
        forget_on_interrupt(remove_on_interrupt(d, "done"));
        std::raise(SIGTERM);
      },
      ::testing::KilledBySignal(SIGTERM), "");
  EXPECT_FALSE(fs::exists(t.file("part")));
  EXPECT_TRUE(fs::exists(t.file("done")));

  // A few at a time: a slot comes free when forgotten.
  std::vector<int> slots;
  for (int s; (s = remove_on_interrupt(d, "x")) >= 0 && slots.size() < 100;)
    slots.push_back(s);
  EXPECT_EQ(errno, EMFILE);
  EXPECT_GE(slots.size(), 3u); // an archive or a file, and two manifests
  forget_on_interrupt(slots[1]);
  EXPECT_EQ(remove_on_interrupt(d, "x"), slots[1]);
  for (int s : slots)
    forget_on_interrupt(s);
  EXPECT_EQ(remove_on_interrupt(d, std::string(200, 'n').c_str()), -1);
}

TEST(Platform, Utf8ConversionsLastAsLongAsTheirScope) {
  auto bytes_of_e_acute = [] {
    std::mbstate_t st{};
    wchar_t w;
    return std::mbrtowc(&w, "\xc3\xa9", 2, &st);
  };
  const size_t before = bytes_of_e_acute(); // the C locale: no such character
  ASSERT_NE(before, 2u);
  {
    utf8_conversions u;
    if (!u.ok())
      GTEST_SKIP() << "no UTF-8 locale here";
    EXPECT_EQ(bytes_of_e_acute(), 2u);
  }
  EXPECT_EQ(bytes_of_e_acute(), before);
}

} // namespace
} // namespace cartsift
