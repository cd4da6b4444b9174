// What the platform layer promises the output tree beyond a plain system
// call: its open flags, renames that keep or replace, listings, the files
// removed on interrupt, and UTF-8 conversions that end with their scope.
#include <gtest/gtest.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <optional>
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

// False where this process may make no symbolic link: Windows without
// developer mode, and Wine, whose call says yes and makes none.
bool make_link(const std::string &target, const std::string &path) {
#ifdef _WIN32
  CreateSymbolicLinkW(fs::path(path).c_str(), fs::path(target).c_str(),
                      SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
  return fs::exists(path);
#else
  fs::create_symlink(target, path);
  return true;
#endif
}

std::vector<std::string> names(const dir &d) {
  std::vector<std::string> v;
  EXPECT_TRUE(read_dir(d, [&](const char *n) {
    v.push_back(n);
    return true;
  }));
  std::sort(v.begin(), v.end());
  return v;
}

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
    else if (c.there == link && !make_link("target", t.file("n")))
      continue;
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
#ifdef _WIN32
  // SIGTERM is the C runtime's alone, and kills no process. The death test
  // runs in a new process that starts the test over: it is handed the
  // parent's directory in the environment.
  const auto by_term = ::testing::ExitedWithCode(128 + SIGTERM);
  const char *given = std::getenv("CARTSIFT_TEST_DIR");
#else
  const auto by_term = ::testing::KilledBySignal(SIGTERM);
  const char *given = nullptr;
#endif
  std::optional<temp_dir> own;
  if (given == nullptr)
    own.emplace();
  const std::string path = given ? given : own->path;
  const dir d = open_dir(cwd(), path.c_str(), false);
  if (given == nullptr) {
    put(path + "/part", "");
    put(path + "/done", "");
  }
#ifdef _WIN32
  _putenv_s("CARTSIFT_TEST_DIR", path.c_str());
#endif
  EXPECT_EXIT(
      {
        interrupt_guard outer;
        { interrupt_guard inner; } // the outer one still holds
        (void)remove_on_interrupt(d, "part");
        forget_on_interrupt(remove_on_interrupt(d, "done"));
        std::raise(SIGTERM);
      },
      by_term, "");
#ifdef _WIN32
  _putenv_s("CARTSIFT_TEST_DIR", "");
#endif
  EXPECT_FALSE(fs::exists(path + "/part"));
  EXPECT_TRUE(fs::exists(path + "/done"));

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

TEST(Platform, PositionedWritesAndTruncationLeaveThePosition) {
  temp_dir t;
  const dir d = open_dir(cwd(), t.path.c_str(), false);
  fd_guard fd(open_file(d, "f", OPEN_RDWR | OPEN_CREATE | OPEN_EXCL));
  ASSERT_GE(fd.get(), 0);
  ASSERT_EQ(write_some(fd.get(), "abcdef", 6), 6u);
  EXPECT_TRUE(write_at(fd.get(), "X", 1, 1));
  EXPECT_TRUE(truncate(fd.get(), 5));
  EXPECT_EQ(seek(fd.get(), 0, SEEK_CUR), 6);
  ASSERT_EQ(write_some(fd.get(), "g", 1), 1u); // past the end: a zero between
  char b[8] = {};
  EXPECT_EQ(read_full(fd.get(), b, sizeof b, 0), 7);
  EXPECT_EQ(std::string(b, 7), std::string("aXcde\0g", 7));
  file_info fi;
  ASSERT_TRUE(stat_file(fd.get(), &fi));
  EXPECT_EQ(fi.kind, file_kind::regular);
  EXPECT_EQ(fi.size, 7);
}

// In the order the extractions use: times, then read-only, then the rename
// into place over an older read-only copy.
TEST(Platform, TimesAndReadOnlyHoldThroughTheRenameIntoPlace) {
  enum target { by_fd, by_name, by_dir };
  const file_times ft{.access = 1000000000, .modify = 1000000000, .create = 900000000};
  for (target what : {by_fd, by_name, by_dir}) {
    SCOPED_TRACE(::testing::Message() << "target " << what);
    temp_dir t;
    const dir d = open_dir(cwd(), t.path.c_str(), false);
    fd_guard old(open_file(d, "final", OPEN_RDWR | OPEN_CREATE | OPEN_EXCL, 0444));
    ASSERT_GE(old.get(), 0);
    ASSERT_EQ(write_some(old.get(), "old", 3), 3u); // read-only, yet this one writes
    old.reset();
    fd_guard fd(open_file(d, "part", OPEN_RDWR | OPEN_CREATE | OPEN_EXCL));
    ASSERT_EQ(write_some(fd.get(), "new", 3), 3u);
    std::string path = t.file("final");
    if (what == by_fd) {
      EXPECT_TRUE(set_times(fd.get(), ft));
      EXPECT_TRUE(set_perms(fd.get(), 0444));
    }
    fd.reset();
    EXPECT_TRUE(rename_at(d, "part", d, "final", true));
    if (what == by_name) {
      EXPECT_TRUE(set_times_at(d, "final", ft));
      EXPECT_TRUE(set_perms_at(d, "final", 0444));
    } else if (what == by_dir) {
      path = t.path;
      EXPECT_TRUE(set_times(d, ft));
    }
    EXPECT_EQ(read_file(t.file("final")), "new");
    file_info fi;
    ASSERT_TRUE(stat_at(d, "final", &fi, false));
    EXPECT_EQ(fi.writable, what == by_dir);
    const auto mt = std::chrono::file_clock::to_sys(fs::last_write_time(path));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(mt.time_since_epoch()).count(),
              ft.modify);
    EXPECT_TRUE(unlink_at(d, "final")); // read-only or not
    EXPECT_EQ(names(d), std::vector<std::string>{});
  }
}

#ifdef _WIN32
// The DOS byte is the file's own attributes there, set and cleared. Wine
// shows every regular file as archived, so that bit is not looked at.
TEST(Platform, DosAttributesAreTheFilesOwnOnWindows) {
  constexpr DWORD RHS = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
  temp_dir t;
  const dir d = open_dir(cwd(), t.path.c_str(), false);
  for (const auto &[byte, want] : {std::pair<uint8_t, DWORD>{0x27, RHS}, {0x22, FILE_ATTRIBUTE_HIDDEN}, {0x20, 0}}) {
    fd_guard fd(open_file(d, "IO.SYS", OPEN_RDWR | OPEN_CREATE));
    ASSERT_GE(fd.get(), 0);
    EXPECT_TRUE(set_dos_attrib(fd.get(), byte));
    fd.reset();
    EXPECT_EQ(GetFileAttributesW(fs::path(t.file("IO.SYS")).c_str()) & RHS, want) << int(byte);
    ASSERT_TRUE(unlink_at(d, "IO.SYS"));
  }
}
#endif

// Deeper than Windows' old 260-character limit, each level UTF-8.
TEST(Platform, LongAndNonAsciiNamesReachTheirFiles) {
  temp_dir t;
  const std::string level = "\xc3\x9c" "bergr\xc3\xb6\xc3\x9f" "e-" + std::string(50, 'x');
  std::string rel;
  dir d = open_dir(cwd(), t.path.c_str(), false);
  for (int k = 0; k < 6; k++) {
    ASSERT_TRUE(make_dir(d, level.c_str()));
    d = open_dir(d, level.c_str(), true);
    ASSERT_TRUE(d.ok());
    rel += level + "/";
  }
  const std::string e = "\xc3\xa9.txt", u = "\xc3\xbc.txt";
  fd_guard fd(open_file(d, e.c_str(), OPEN_RDWR | OPEN_CREATE | OPEN_EXCL));
  ASSERT_GE(fd.get(), 0);
  EXPECT_EQ(write_some(fd.get(), "x", 1), 1u);
  fd.reset();
  EXPECT_EQ(names(d), std::vector<std::string>{e});
  file_info fi; // several levels at once, from the current directory
  ASSERT_TRUE(stat_at(cwd(), (t.path + "/" + rel + e).c_str(), &fi, true));
  EXPECT_EQ(fi.size, 1);
  EXPECT_TRUE(rename_at(d, e.c_str(), d, u.c_str(), false));
  EXPECT_EQ(names(d), std::vector<std::string>{u});
  EXPECT_TRUE(unlink_at(d, u.c_str()));
  errno = 0;
  EXPECT_FALSE(unlink_at(d, u.c_str()));
  EXPECT_EQ(errno, ENOENT);
}

} // namespace
} // namespace cartsift
