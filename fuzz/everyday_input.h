// How an everyday_fuzz input becomes one to three images and the everyday
// command lines run over them. Shared with mkseeds, which writes builder
// sets in this form.
//
// Input:
//   0      command (index into EVERYDAY, modulo its size)
//   1      how many images: 1 + value % 3
//   2-4    image k's sequence number: below 0x80, value % 8 is written into
//          its volume table; from 0x80 on, the image keeps its own
//   5      bits 0-2: how many permutations away from the input's order the
//          images are named; bit 3: the first image named a second time at
//          the end; bit 7: links out of the scratch tree planted in place of
//          what the first of two extractions wrote
//   6-9    length of image 1 in the input, 10-13 of image 2 (little-endian,
//          cut to what is left)
//   14-    the images one after another, each compacted as fuzz_input.h
//          has it; the last takes the rest
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "fuzz_input.h"

namespace cartsift::fuzzin {

constexpr size_t EV_CTL = 14;
constexpr size_t VT_SEQ = 57;
constexpr uint8_t KEEP_SEQ = 0xFF;
constexpr uint8_t NAME_TWICE = 0x08, PLANT_LINKS = 0x80;

// Each command is one or more runs in turn over the same images and the
// same scratch tree. "@W" stands for the scratch directory's absolute path.
inline const std::vector<std::vector<std::vector<std::string>>> EVERYDAY = {
    {{"--list"}},
    {{"--list", "-v"}},
    {{"--list", "--json", "-v"}},
    {{"--list", "--json", "--raw-names"}},
    {{"--list", "--as-given"}},
    {{"--test"}},
    {{"--test", "--json"}},
    {{"--test", "--json", "--as-given"}},
    {{"--info"}},
    {{"--info", "--json"}},
    {{"--extract", "-C", "out"}},
    {{"--extract", "-v", "-q"}},
    {{"--extract", "--keep-partial", "-C", "out"}},
    {{"--extract", "--raw-names", "-C", "@W/raw/out"}},
    {{"--extract", "--include=*.TXT", "--include=C:/", "--exclude=*/ARCHIVE/", "-C", "out"}},
    {{"--extract", "--as-given", "--keep-partial", "-C", "out"}},
    {{"--extract", "-O"}},
    {{"--extract", "-O", "--keep-partial", "-v", "--include=*NUMBERS*"}},
    {{"--extract", "-C", "out"}, {"--extract", "--overwrite", "-C", "out"}},
    {{"--extract", "--keep-partial", "-C", "out"},
     {"--extract", "--overwrite", "--keep-partial", "-v", "-C", "out"}},
    {{"--extract", "-C", "out"}, {"--extract", "-C", "out"}},
    {{"--list", "--json"}, {"--test"}, {"--info", "--json"}},
};

// The images an input stands for, in the input's order.
inline std::vector<std::vector<uint8_t>> ev_images(const uint8_t *d, size_t n) {
  std::vector<std::vector<uint8_t>> v;
  if (n < EV_CTL)
    return v;
  const size_t count = 1 + d[1] % 3;
  size_t at = EV_CTL;
  for (size_t k = 0; k < count; k++) {
    size_t len = n - at;
    if (k + 1 < count)
      len = std::min<size_t>(len, rd32(d + 6 + 4 * k));
    std::vector<uint8_t> img = expand(d + at, len);
    at += len;
    if (d[2 + k] < 0x80 && img.size() > VT_AT + VT_SEQ)
      img[VT_AT + VT_SEQ] = d[2 + k] % 8;
    v.push_back(std::move(img));
  }
  return v;
}

// The control bytes of an input.
inline std::vector<uint8_t> ev_control(size_t cmd, const std::vector<size_t> &lens,
                                       uint8_t order = 0, std::vector<uint8_t> seqs = {}) {
  std::vector<uint8_t> c = {uint8_t(cmd), uint8_t(lens.size() - 1)};
  seqs.resize(3, KEEP_SEQ);
  c.insert(c.end(), seqs.begin(), seqs.end());
  c.push_back(order);
  for (size_t k = 0; k < 2; k++) {
    const uint32_t l = k < lens.size() ? uint32_t(lens[k]) : 0;
    for (int i = 0; i < 4; i++)
      c.push_back(uint8_t(l >> (8 * i)));
  }
  return c;
}

} // namespace cartsift::fuzzin
