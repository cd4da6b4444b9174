// Helpers for the extraction tests: a scratch working directory, fed
// input, 16-bit strings and hand-made images.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "extract/extract.h"
#include "support/capture.h"

namespace xtest {

namespace fs = std::filesystem;
using namespace std::literals;

// Runs the test inside a fresh directory: extraction writes below the
// current directory, so nothing may leak into the source tree.
struct in_temp_dir {
  fs::path old = fs::current_path();
  fs::path dir;
  in_temp_dir() {
    dir = cartsift::testing::temp_directory("cartsift-x");
    fs::current_path(dir);
  }
  ~in_temp_dir() {
    fs::current_path(old);
    cartsift::testing::remove_tree(dir.string());
  }
};

using capture = cartsift::testing::capture;

struct feed {
  std::string s;
  FILE *f;
  FILE *prev;
  explicit feed(std::string t) : s(std::move(t)) {
    f = cartsift::testing::text_stream(s);
    prev = cartsift::in_stream(f);
  }
  ~feed() {
    cartsift::in_stream(prev);
    fclose(f);
  }
};

// 16-bit string from characters; embedded zeros allowed (u"A\0B"sv).
inline cartsift::uni_ptr us(std::u16string_view s) {
  auto u = std::make_unique<cartsift::uni_str>();
  u->len = uint16_t(s.size() * 2);
  u->ustr = std::make_unique<uint8_t[]>(u->len + 1);
  for (size_t i = 0; i < s.size(); ++i) {
    u->ustr[2 * i] = uint8_t(s[i]);
    u->ustr[2 * i + 1] = uint8_t(s[i] >> 8);
  }
  return u;
}
inline cartsift::uni_ptr us(std::string_view s) {
  return us(std::u16string(s.begin(), s.end()));
}

inline std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i)
    v[i] = uint8_t(i * 7 + seed);
  return v;
}

inline void write_file(const std::string &name, const std::vector<uint8_t> &v) {
  std::ofstream(name, std::ios::binary)
      .write(reinterpret_cast<const char *>(v.data()), std::streamsize(v.size()));
}

inline std::vector<uint8_t> read_file(const std::string &name) {
  std::ifstream f(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), {}};
}

// A next image: "VTBL" at 0xE800, its compression byte, data at 0x15C00.
inline void write_next_image(const std::string &name,
                             const std::vector<uint8_t> &data, uint8_t comp = 0,
                             const char *tag = "VTBL") {
  std::vector<uint8_t> v(static_cast<size_t>(cartsift::DATA_START));
  std::copy(tag, tag + 4, v.begin() + cartsift::VTBL_OFFSET);
  v[cartsift::VTBL_OFFSET + 124] = comp;
  v.insert(v.end(), data.begin(), data.end());
  write_file(name, v);
}

} // namespace xtest
