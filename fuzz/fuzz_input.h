// How a run_fuzz input becomes a command line, an answer on standard input
// and an image. Shared with mkseeds, which writes builder images in this
// form. Layout values are repeated here rather than taken from the tool's
// headers, as the image builder does: the seeds must not depend on the code
// they exercise.
//
// Input:
//   0      command (index into COMMANDS, modulo its size)
//   1      answer on standard input (index into ANSWERS, modulo)
//   2-5    catalog offset for -c<cat>:<data> (little-endian)
//   6-9    data offset for -c<cat>:<data> and -dd<off>
//   10-    the image, compacted: the first 0x90 header bytes, the 128-byte
//          volume table, then the data region. Shorter than those two
//          records, the bytes are the image as they are, so truncated and
//          tiny images are reachable too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace cartsift::fuzzin {

constexpr size_t CTL = 10;
constexpr size_t HDR = 0x90;
constexpr size_t VT = 128;
constexpr size_t BLOCK = 0x7400;
constexpr size_t VT_AT = 0xE800;
constexpr size_t DATA_AT = 0x15C00;

// "@C" stands for -c<cat>:<data>, "@D" for -dd<data>.
inline const std::vector<std::vector<std::string>> COMMANDS = {
    {},
    {"-v"},
    {"-dd-1"},
    {"-dd-1", "-v"},
    {"-dd-1", "-vv"},
    {"-dd-1", "-v", "-vv"},
    {"@D"},
    {"-di"},
    {"-di", "-v"},
    {"-f", "-di"},
    {"-c"},
    {"@C"},
    {"-dd-1", "-t1"},
    {"-dd-1", "-t3"},
    {"-c", "-t1"},
    {"-c", "-t2"},
    {"-c", "-t3"},
    {"@C", "-t3"},
    {"-t1"},
    {"-x"},
    {"-dd-1", "-x"},
    {"-dd-1", "-x", "-v"},
    {"-dd-1", "-x2"},
    {"-dd-1", "-x", "-pC:\\DOCS"},
    {"-dd-1", "-x", "-pDOCS"},
    {"@D", "-x"},
    {"-dd0"},
    {"-dc0", "-di"},
    {"-f", "-c", "-t3", "-x"},
    {"-f", "-v", "-vv"},
};

// "@I" stands for the image's own path: a continuation that reads the same
// image again.
inline const std::vector<std::string> ANSWERS = {
    "", "q\n", "@I\nq\n", "y@I\nq\n", "y\nnosuch.113\nq\n", "y@I",
};

inline uint32_t rd32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The image that the input after the control bytes stands for.
inline std::vector<uint8_t> expand(const uint8_t *d, size_t n) {
  if (n < HDR + VT)
    return std::vector<uint8_t>(d, d + n);
  std::vector<uint8_t> img(DATA_AT + (n - HDR - VT), 0);
  std::memcpy(img.data(), d, HDR);
  std::memcpy(img.data() + BLOCK, d, HDR); // header block 1 repeats block 0
  std::memcpy(img.data() + VT_AT, d + HDR, VT);
  std::memcpy(img.data() + DATA_AT, d + HDR + VT, n - HDR - VT);
  return img;
}

// The inverse for a well-formed image of at least DATA_START bytes.
inline std::vector<uint8_t> compact(const std::vector<uint8_t> &img) {
  std::vector<uint8_t> v(img.begin(), img.begin() + HDR);
  v.insert(v.end(), img.begin() + VT_AT, img.begin() + VT_AT + VT);
  v.insert(v.end(), img.begin() + DATA_AT, img.end());
  return v;
}

} // namespace cartsift::fuzzin
