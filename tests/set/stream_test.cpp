// A set read as one stream: the data regions join seamlessly, bytes outside
// them never show, a missing cartridge stops reads and copies but not a
// search, and a signature cut by the border between two images is found.
#include <gtest/gtest.h>

#include <unistd.h>

#include "set/set.h"
#include "support/capture.h"

namespace cartsift {
namespace {

using testing::scratch_image;

constexpr int64_t HEAD = 16; // bytes before each region, outside the stream
constexpr uint8_t SIG[4] = {0xCC, 0x33, 0xCC, 0x33};

// HEAD bytes of 'h', the region, then a signature past the region's end
// that must stay invisible.
std::vector<uint8_t> image_bytes(const std::vector<uint8_t> &region) {
  std::vector<uint8_t> b(HEAD, 'h');
  for (uint8_t c : region)
    b.push_back(c);
  for (uint8_t c : SIG)
    b.push_back(c);
  return b;
}

struct two_parts {
  scratch_image a, b;
  int sfd;
  two_parts(const std::vector<uint8_t> &ra, const std::vector<uint8_t> &rb, bool gap)
      : a(image_bytes(ra)), b(image_bytes(rb)) {
    sfd = set_open({{a.path(), HEAD, HEAD + int64_t(ra.size()), false},
                    {b.path(), HEAD, HEAD + int64_t(rb.size()), gap}});
  }
  ~two_parts() { img_close(sfd); }
};

TEST(SetStream, SignatureCutByTheBorderIsFoundAtEverySplit) {
  for (size_t k = 0; k <= 4; k++) {
    std::vector<uint8_t> ra(10, 'a'), rb;
    for (size_t i = 0; i < 4; i++)
      (i < k ? ra : rb).push_back(SIG[i]);
    rb.resize(rb.size() + 10, 'b');
    two_parts s(ra, rb, false);
    ASSERT_GE(s.sfd, 0);
    EXPECT_EQ(fnd_sig(s.sfd, 0, 0x33CC33CC), 10) << "split " << k;
    // From just past it, the one beyond part 2's region is not seen.
    EXPECT_EQ(fnd_sig(s.sfd, 11, 0x33CC33CC), -1) << "split " << k;
  }
}

TEST(SetStream, ReadsJoinPartsAndStopAtAMissingCartridge) {
  for (bool gap : {false, true}) {
    two_parts s({'1', '2', '3'}, {'4', '5'}, gap);
    uint8_t b[16] = {};
    ASSERT_TRUE(seek_to(s.sfd, 1));
    const int64_t want = gap ? 2 : 4; // "23" or "2345"
    ASSERT_EQ(img_read(s.sfd, b, sizeof b), want) << gap;
    EXPECT_EQ(std::string(reinterpret_cast<char *>(b), size_t(want)), gap ? "23" : "2345");
    EXPECT_EQ(img_run_end(s.sfd, 0), gap ? 3 : 5);
    // A read that starts on the barrier reads the next image.
    ASSERT_TRUE(seek_to(s.sfd, 3));
    EXPECT_EQ(img_read(s.sfd, b, sizeof b), 2);
    EXPECT_EQ(set_locate(s.sfd, 4).part, 1u);
    EXPECT_EQ(set_locate(s.sfd, 4).off, HEAD + 1);

    // A copy stops at the barrier too, saying that the input ran out.
    FILE *f = tmpfile();
    ASSERT_TRUE(seek_to(s.sfd, 0));
    bool rfail = false;
    EXPECT_EQ(img_copy(s.sfd, fileno(f), 5, &rfail), gap ? 3 : 5);
    EXPECT_EQ(rfail, gap);
    fclose(f);
  }
}

} // namespace
} // namespace cartsift
