#include "hardening/sweep.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace cartsift::hardening {

namespace L = build::layout;

namespace {

const char SENTINEL[] = "not to be touched\n";
// A run over a small image takes milliseconds even under the sanitizers;
// seconds means it no longer ends by itself. Under Wine on a busy machine
// the deep trees of the hostile images take some seconds to make.
#ifdef _WIN32
constexpr double RUN_LIMIT_S = 30.0;
#else
constexpr double RUN_LIMIT_S = 5.0;
#endif

std::set<std::string> names_in(const std::string &dir) {
  std::set<std::string> s;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
        s.insert(e->d_name);
    closedir(d);
  }
  return s;
}

void empty_dir(const std::string &dir) {
  for (const auto &n : names_in(dir))
    testing::remove_tree(dir + "/" + n);
}

size_t u16at(const build::image &img, size_t off) { return img.get_u16(off); }

} // namespace

std::string hex(size_t v) {
  char t[24];
  std::snprintf(t, sizeof t, "%zx", v);
  return t;
}

std::vector<backup_span> layout_of(const build::image &img) {
  std::vector<backup_span> v;
  size_t off = L::DATA_START;
  while (off + 4 <= img.size() && img.get_u32(off) == L::DIR_SIG) {
    backup_span b;
    for (;;) {
      entry_span e;
      e.off = off;
      size_t n1 = u16at(img, off + 73);
      size_t n2 = u16at(img, off + 96 + n1);
      size_t n3 = u16at(img, off + 126 + n1 + n2);
      size_t plen = u16at(img, off + 4 + L::U1_PLEN);
      size_t p = plen > 4 ? plen - 4 : 0;
      size_t path_at = off + 130 + n1 + n2 + n3;
      for (size_t i = 0; i < p; i += 2)
        e.dir += img.b.at(path_at + i) == 0 ? '\\' : char(img.b.at(path_at + i));
      e.data = path_at + p + 8;
      e.trailer = e.data + img.get_u32(off + 4 + L::U1_FLEN);
      e.end = e.trailer + L::TRAILER_SIZE;
      e.last = img.b.at(off + 4 + L::U1_PFLG) & L::PF_END;
      b.entries.push_back(e);
      off = e.end;
      if (e.last)
        break;
      if (img.get_u32(off) != L::DIR_SIG)
        throw std::runtime_error("layout_of: entries not packed at " + hex(off));
    }
    // The catalog: on the first block boundary after the last trailer.
    b.cat = (off / L::BLOCK_SIZE + 1) * L::BLOCK_SIZE;
    size_t c = b.cat;
    while (u16at(img, c + 69) != 0) {
      b.cat_entries.push_back(c);
      size_t n1 = u16at(img, c + 69);
      size_t n2 = u16at(img, c + 92 + n1);
      size_t n3 = u16at(img, c + 122 + n1 + n2);
      c += 124 + n1 + n2 + n3;
    }
    b.cat_end = c + L::CAT_END_SIZE;
    // The next backup starts on the block after the catalog.
    off = (b.cat_end / L::BLOCK_SIZE + 1) * L::BLOCK_SIZE;
    v.push_back(std::move(b));
  }
  return v;
}

guarded_runs::guarded_runs(const build::image &img) : guarded_runs(img.b) {}

guarded_runs::guarded_runs(std::vector<uint8_t> bytes) {
  image_ = outer_.file("image.113");
  sentinel_ = outer_.file("sentinel");
  FILE *f = std::fopen(sentinel_.c_str(), "wb");
  if (!f || std::fputs(SENTINEL, f) < 0 || std::fclose(f) != 0)
    throw std::runtime_error("cannot write the sentinel");
  rewrite(bytes);
  std::filesystem::create_directories(outer_.path + "/a/b/work");
  work_ = outer_.path + "/a/b/work";
  old_cwd_ = std::filesystem::current_path().string();
  std::filesystem::current_path(work_);
}

guarded_runs::~guarded_runs() {
  std::error_code ec;
  std::filesystem::current_path(old_cwd_, ec);
}

void guarded_runs::rewrite(const std::vector<uint8_t> &bytes) {
  size_ = bytes.size();
  build::image img;
  img.b = bytes;
  img.save(image_);
  stamp_image();
}

// The tool opens the image read-only; any write would move its size or
// modification time, which is cheaper to compare than the bytes.
void guarded_runs::stamp_image() {
  std::error_code ec;
  size_ = size_t(std::filesystem::file_size(image_, ec));
  mtime_ns_ = std::filesystem::last_write_time(image_, ec).time_since_epoch().count();
  if (ec)
    throw std::runtime_error("cannot stat the image");
}

void guarded_runs::truncate_to(size_t n) {
  if (n > size_)
    throw std::logic_error("truncate_to only cuts");
  if (::truncate(image_.c_str(), off_t(n)) != 0)
    throw std::runtime_error("truncate failed");
  stamp_image();
}

void guarded_runs::check_surroundings(const std::string &what) {
  EXPECT_EQ(text_of(std::filesystem::current_path()), work_) << what;
  EXPECT_EQ(read_file(sentinel_), SENTINEL) << what;
  EXPECT_EQ(names_in(outer_.path), (std::set<std::string>{"a", "image.113", "sentinel"})) << what;
  EXPECT_EQ(names_in(outer_.path + "/a"), std::set<std::string>{"b"}) << what;
  EXPECT_EQ(names_in(outer_.path + "/a/b"), std::set<std::string>{"work"}) << what;
  const size_t size = size_;
  const int64_t mtime = mtime_ns_;
  ASSERT_NO_THROW(stamp_image()) << what;
  EXPECT_TRUE(size_ == size && mtime_ns_ == mtime) << what << ": the image changed";
}

run_result guarded_runs::run(const std::vector<std::string> &args,
                             const std::string &stdin_text,
                             const std::function<void(const std::string &)> &inspect) {
  std::vector<std::string> a = {image_};
  a.insert(a.end(), args.begin(), args.end());
  std::string what = "cartsift image";
  for (const auto &s : args)
    what += " " + s;
  what += " (image of " + std::to_string(size_) + " bytes)";
  auto t0 = std::chrono::steady_clock::now();
  run_result r = run_main(a, stdin_text);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_LT(secs, RUN_LIMIT_S) << what;
  check_surroundings(what);
  bool extracts = false;
  for (const auto &s : args)
    extracts = extracts || (s.size() >= 2 && (s[1] == 'x' || s[1] == 'X'));
  if (!extracts) {
    EXPECT_TRUE(names_in(work_).empty()) << what << ": wrote without -x";
  }
  if (inspect)
    inspect(work_);
  empty_dir(work_);
  runs_++;
  return r;
}

bool names_listing_end(const std::string &out) {
  for (const char *m : {"\ninvalid header", "\nread error in get_dheader()",
                        "\n read or allocation error in get_unistr() for get_dheader()",
                        "\nfailed to read valid trailer",
                        "\nfailed to find FILE signature 0x66996699 at end of header"})
    if (out.find(m) != std::string::npos)
      return true;
  return false;
}

} // namespace cartsift::hardening
