// Image access: the signature search, the file header and the volume table.
#include <gtest/gtest.h>

#include <cstring>

#include "image/image.h"
#include "img_builder.h"
#include "support/capture.h"

namespace cartsift {
namespace {

using testing::capture;
using testing::scratch_image;

std::vector<uint8_t> with_sig_at(size_t size, size_t at, uint32_t sig) {
  std::vector<uint8_t> b(size, 0xEE);
  for (int i = 0; i < 4; i++)
    b[at + i] = uint8_t(sig >> (8 * i));
  return b;
}

TEST(FndSig, FindsAtEveryOffsetAroundTheChunkBorder) {
  // Chunks are 1024 bytes and overlap by 3, so the signature must be found
  // wherever it straddles a border, including exactly on it.
  for (size_t at = 1010; at < 1040; at++) {
    scratch_image img(with_sig_at(4096, at, 0x33CC33CC));
    EXPECT_EQ(fnd_sig(img.fd(), 0, 0x33CC33CC), int64_t(at)) << at;
  }
  for (size_t at = 2030; at < 2060; at++) { // second border: pos advances by n - 3
    scratch_image img(with_sig_at(4096, at, 0x33CC33CC));
    EXPECT_EQ(fnd_sig(img.fd(), 0, 0x33CC33CC), int64_t(at)) << at;
  }
}

TEST(FndSig, StartOddOffsetsAndEnds) {
  scratch_image img(with_sig_at(100, 33, 0x33CC33CC));
  EXPECT_EQ(fnd_sig(img.fd(), 33, 0x33CC33CC), 33);  // value at off itself
  EXPECT_EQ(fnd_sig(img.fd(), 0, 0x33CC33CC), 33);   // odd offset
  EXPECT_EQ(fnd_sig(img.fd(), 34, 0x33CC33CC), -1);  // past it
  EXPECT_EQ(fnd_sig(img.fd(), -5, 0x33CC33CC), -1);  // negative start
  EXPECT_EQ(fnd_sig(img.fd(), 97, 0x33CC33CC), -1);  // fewer than 4 bytes left
  EXPECT_EQ(fnd_sig(img.fd(), 100, 0x33CC33CC), -1); // at the end
  EXPECT_EQ(fnd_sig(img.fd(), 5000, 0x33CC33CC), -1);
  // A signature cut off by the end of the image is not reported.
  auto cut = with_sig_at(100, 96, 0x33CC33CC);
  cut.resize(99);
  scratch_image img2(cut);
  EXPECT_EQ(fnd_sig(img2.fd(), 0, 0x33CC33CC), -1);
}

TEST(FndSig, AgreesWithAByteByByteScanOnRandomData) {
  // Sparse matches of a 2-byte-periodic value exercise overlapping hits.
  std::vector<uint8_t> b(10000);
  uint32_t x = 12345;
  for (auto &c : b) {
    x = x * 1103515245 + 12345;
    c = (x >> 16) % 3 == 0 ? 0xCC : 0x33;
  }
  scratch_image img(b);
  for (int64_t start : {0, 1, 2, 1021, 1022, 5000, 9990}) {
    int64_t want = -1;
    for (size_t i = size_t(start); i + 4 <= b.size(); i++)
      if (le32(b.data() + i) == 0x33CC33CC) {
        want = int64_t(i);
        break;
      }
    EXPECT_EQ(fnd_sig(img.fd(), start, 0x33CC33CC), want) << start;
  }
}

TEST(FileHeader, ReadsChecksAndReports) {
  capture cap;
  {
    scratch_image img(std::vector<uint8_t>(100, 0));
    EXPECT_EQ(get_fheader(img.fd(), 0, 0), nullptr);
    EXPECT_EQ(cap.take(), "\nonly read 0x64 bytes of 0x90 byte header");
  }
  {
    std::vector<uint8_t> b(0x7400 * 2, 0);
    b[0] = 0xAA, b[1] = 0x55, b[2] = 0xAA, b[3] = 0x55; // wrong byte order
    scratch_image img(b);
    EXPECT_EQ(get_fheader(img.fd(), 0, 0), nullptr);
    EXPECT_EQ(cap.take(), "\ninvalid header signature 0x55aa55aa != 0xAA55AA55");
    EXPECT_EQ(get_fheader(img.fd(), 2, 0), nullptr);
    EXPECT_EQ(cap.take(), "\ninvalid ndx, must be 0 or 1");
  }
  {
    build::image bi;
    bi.header(77, "12, disk  3");
    scratch_image img(bi.b);
    auto h0 = get_fheader(img.fd(), 0, 0);
    auto h1 = get_fheader(img.fd(), 1, 0);
    ASSERT_NE(h0, nullptr);
    ASSERT_NE(h1, nullptr);
    EXPECT_EQ(hdr_nblk(*h0), 77u);
    EXPECT_EQ(cap.take(), "");
  }
}

TEST(FileHeader, JobAndDiskNumbers) {
  struct tcase {
    const char *text; // placed at byte 40
    int count;
    uint16_t job, disk;
  } cases[] = {
      {"12,     3", 2, 12, 3},      // ',' at 42, disk at 48
      {"12     ", 1, 12, 0},        // no ','
      {"1234567,     9", 1, 1234567 & 0xFFFF, 0}, // ',' at 47 is not seen
      {",     77", 1, 0, 77},       // no job, ',' at 40
      {"  -5,     8", 2, uint16_t(-5), 8},
      {"abc", 0, 0, 0},
  };
  for (const auto &c : cases) {
    fheader h{};
    std::memcpy(h.data() + 40, c.text, std::strlen(c.text));
    uint16_t job = 99, disk = 99;
    EXPECT_EQ(get_fhead_sdata(h, &job, &disk), c.count) << c.text;
    EXPECT_EQ(job, c.job) << c.text;
    EXPECT_EQ(disk, c.disk) << c.text;
  }
  // Digits running to the very last header byte are read, and no further.
  fheader h{};
  std::memset(h.data() + 40, '9', HDR_SIZE - 40);
  h[41] = ',';
  uint16_t job, disk;
  EXPECT_EQ(get_fhead_sdata(h, &job, &disk), 2);
}

std::vector<uint8_t> vtbl_image(const build::vtbl_fields &vs) {
  build::image bi;
  bi.header(10, "1, disk  1");
  bi.vtbl(vs);
  return bi.b;
}

TEST(VolumeTable, ReadAndChecks) {
  capture cap;
  build::vtbl_fields vs;
  vs.tag = "vtbl";
  {
    scratch_image img(vtbl_image(vs));
    EXPECT_NE(get_vtbl(img.fd()), nullptr); // lower case accepted
    EXPECT_EQ(cap.take(), "");
  }
  vs.tag = "VTBX";
  {
    scratch_image img(vtbl_image(vs));
    EXPECT_EQ(get_vtbl(img.fd()), nullptr);
    EXPECT_EQ(cap.take(), "\nmissing 'VTBL' tag, invalid record at offset 0xe800 ");
  }
  {
    auto b = vtbl_image({});
    b.resize(0xE800 + 127);
    scratch_image img(b);
    EXPECT_EQ(get_vtbl(img.fd()), nullptr);
    EXPECT_EQ(cap.take(), "\nfailed to read VTBL header");
  }
}

std::string shown(const build::vtbl_fields &vs) {
  capture cap;
  scratch_image img(vtbl_image(vs));
  auto vt = get_vtbl(img.fd());
  if (!vt)
    return "(none)";
  disp_vtbl(*vt);
  return cap.take();
}

TEST(VolumeTable, Display) {
  build::vtbl_fields vs;
  vs.label = "Weekly";
  vs.date = 0;
  vs.flag = 0x20;
  vs.nseg = 5;
  vs.dirSz = 0x1234;
  vs.dataSz = 0x123456789LL;
  vs.start = 1;
  vs.end = 2;
  vs.ostype = 7;
  EXPECT_EQ(shown(vs), "\nLabel: Weekly  \nVTBL volume contains 5 logical segments"
                       "\ncreated: Thu Jan  1 00:00:00 1970\n"
                       "\nflag 0x20:\nFile Set Directory follow data section"
                       "\nversion: 1:0"
                       "\ndir size 0x1234 data size 0x123456789"
                       "\nQFA physical start block 0x1 end block 0x2"
                       "\ncompression byte 0x0"
                       "\nOS type: d => Windows 95");

  vs.flag = 0x21; // vendor specific: nothing after the flag lines
  EXPECT_EQ(shown(vs), "\nLabel: Weekly  \nVTBL volume contains 5 logical segments"
                       "\ncreated: Thu Jan  1 00:00:00 1970\n"
                       "\nflag 0x21:\nVendor specific volume"
                       "\nFile Set Directory follow data section");

  vs.flag = 0x02;
  vs.seq = 3;
  vs.comp = 0x85;
  vs.ostype = 9;
  vs.label = std::string(44, 'L'); // no NUL: printed up to 44 characters
  vs.date = 0x80000000u;           // unsigned: no sign extension
  EXPECT_EQ(shown(vs), "\nLabel: " + std::string(44, 'L') +
                           "  \nVTBL volume contains 5 logical segments"
                           "\ncreated: Tue Jan 19 03:14:08 2038\n"
                           "\nflag 0x2:\nVolume spans multiple cartidges   sequence #: 3: "
                           "\nversion: 1:0"
                           "\ndir size 0x1234 data size 0x123456789"
                           "\nQFA physical start block 0x1 end block 0x2"
                           "\ncompression byte 0x85\nCompression used, type 0x5");
}

TEST(Printing, ThirtyTwoBitValues) {
  EXPECT_EQ(x32(-1), 0xffffffffUL);
  EXPECT_EQ(x32(0x1'0000'0010LL), 0x10UL);
  EXPECT_EQ(l32(0x80000000LL), -2147483648L);
  EXPECT_STREQ(ctime32(0xFFFFFFFFu).s, "Sun Feb  7 06:28:15 2106\n");
}

} // namespace
} // namespace cartsift
