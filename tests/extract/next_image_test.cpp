#include <gtest/gtest.h>

#include <fcntl.h>

#include "extract/xtest.h"

using namespace cartsift;
using namespace xtest;

namespace {

const std::string PROMPT = "\n\ncurrent file data in next image, enter 'q' "
                           "to abort or next image file name:\n  ";

std::string tried(const std::string &n) { return "\nattempting new source file: " + n; }
std::string no_open(const std::string &n) { return "\nopen failed source file " + n + "\n"; }

struct NextImageData : ::testing::Test {
  in_temp_dir td;
  capture cap;
  fd_guard fo{open("out", O_RDWR | O_CREAT | O_TRUNC, 0600)};
};

} // namespace

TEST_F(NextImageData, QuitOrEndOfInputGivesUp) {
  {
    feed in("q rest\n");
    EXPECT_EQ(next_image_data(fo.get(), 10), -1);
    EXPECT_EQ(in_char(), ' '); // the rest of the line stays unread
  }
  {
    feed in("Qnext.113\n");
    EXPECT_EQ(next_image_data(fo.get(), 10), -1);
  }
  {
    feed in("");
    EXPECT_EQ(next_image_data(fo.get(), 10), -1);
  }
  {
    feed in("nothere"); // a last line without newline is still tried
    EXPECT_EQ(next_image_data(fo.get(), 10), -1);
  }
  EXPECT_EQ(cap.take(), PROMPT + PROMPT + PROMPT + PROMPT + tried("nothere") +
                            no_open("nothere") + PROMPT);
}

TEST_F(NextImageData, AsksAgainUntilAnImageIsUsable) {
  auto data = pattern(100, 4);
  write_next_image("bad.113", data, 0, "XXXX");
  write_next_image("comp.113", data, 0x85);
  write_next_image("good.113", data);
  feed in("\nmissing.113\nbad.113\ncomp.113\ngood.113\n");
  EXPECT_EQ(next_image_data(fo.get(), 16), 0);
  EXPECT_EQ(cap.take(),
            PROMPT + tried("") + no_open("") + PROMPT + tried("missing.113") +
                no_open("missing.113") + PROMPT + tried("bad.113") +
                "\nmissing 'VTBL' tag, invalid record at offset 0xe800 "
                "\nbad.113 does not appear to be a valid *.113 file" +
                PROMPT + tried("comp.113") +
                "\nnew source file can not be compressed, this one is!" +
                PROMPT + tried("good.113") +
                "\nsuccessfully appended 0x10 bytes to extracted file");
  EXPECT_EQ(read_file("out"), std::vector<uint8_t>(data.begin(), data.begin() + 16));
}

TEST_F(NextImageData, LongAnswerIsCutAndItsRestAnswersTheNextPrompt) {
  std::string a1023(1023, 'a');
  feed in(a1023 + "X" + "bcdef\n");
  EXPECT_EQ(next_image_data(fo.get(), 10), -1);
  EXPECT_EQ(cap.take(), PROMPT + tried(a1023) + no_open(a1023) + PROMPT +
                            tried("bcdef") + no_open("bcdef") + PROMPT);
}

TEST_F(NextImageData, CopyDotsAndShortImage) {
  auto data = pattern(52000, 2);
  write_next_image("n.113", data);
  {
    feed in("n.113\n");
    EXPECT_EQ(next_image_data(fo.get(), 51200), 0);
  }
  {
    feed in("n.113\n");
    EXPECT_EQ(next_image_data(fo.get(), 53000), -3);
  }
  std::string t = cap.take();
  EXPECT_NE(t.find(".\nsuccessfully appended 0xc800 bytes to extracted file"), std::string::npos);
  EXPECT_EQ(t.substr(t.size() - 15), ".\nfile io error");
  // 51200 + the 50 whole chunks of the second copy; the short one is not written
  EXPECT_EQ(read_file("out").size(), 51200u + 51200u);
}
