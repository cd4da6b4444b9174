// Whole runs of the tool, in-process, on an image made from the input (see
// fuzz_input.h). Extraction happens in a scratch directory; after every run
// the directory around it must look exactly as before, sentinel included,
// or the run aborts as a finding.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "fuzz_input.h"
#include "image/image.h"
#include "scratch.h"

namespace {

using namespace cartsift;
using namespace cartsift::fuzzscratch;

std::string root, work, img_path, sentinel;
FILE *devnull = nullptr;

void empty_work() { empty_dir(work); }

std::string hex(uint32_t v) {
  char t[16];
  std::snprintf(t, sizeof t, "%x", v);
  return t;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TZ", "UTC", 1);
  tzset();
  who = "run_fuzz";
  root = make_root();
  work = root + "/work";
  img_path = root + "/image.113";
  sentinel = root + "/sentinel";
  if (mkdir(work.c_str(), 0755) != 0)
    escape("cannot make " + work);
  write_file(sentinel, SENTINEL_TEXT.data(), SENTINEL_TEXT.size());
  if (chdir(work.c_str()) != 0)
    escape("cannot enter " + work);
  devnull = std::fopen("/dev/null", "w");
  out_stream(devnull);
  // The scratch tree goes when the fuzzer exits normally.
  std::atexit([] {
    std::error_code ec;
    if (chdir("/") == 0) {
      empty_work();
      std::filesystem::remove_all(root, ec);
    }
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace cartsift::fuzzin;
  if (size < CTL)
    return 0;
  const auto &cmd = COMMANDS[data[0] % COMMANDS.size()];
  std::string answer = replace_all(ANSWERS[data[1] % ANSWERS.size()], "@I", img_path);
  const uint32_t cat = rd32(data + 2), doff = rd32(data + 6);
  std::vector<uint8_t> img = expand(data + CTL, size - CTL);
  write_file(img_path, img.data(), img.size());
  struct stat before;
  if (stat(img_path.c_str(), &before) != 0)
    escape("cannot stat the image");

  std::vector<std::string> args = {"cartsift", img_path};
  for (const auto &a : cmd) {
    if (a == "@C")
      args.push_back("-c" + hex(cat) + ":" + hex(doff));
    else if (a == "@D")
      args.push_back("-dd" + hex(doff));
    else
      args.push_back(a);
  }
  std::vector<char *> argv;
  for (auto &a : args)
    argv.push_back(a.data());
  argv.push_back(nullptr);

  FILE *in = answer.empty() ? std::fopen("/dev/null", "r")
                            : fmemopen(answer.data(), answer.size(), "r");
  FILE *prev_in = in_stream(in);
  (void)cartsift_main(int(args.size()), argv.data());
  out_flush();
  in_stream(prev_in);
  std::fclose(in);

  char cwd[4096];
  if (!getcwd(cwd, sizeof cwd) || work != cwd)
    escape("the run changed the working directory");
  if (slurp(sentinel) != SENTINEL_TEXT)
    escape("the sentinel changed");
  if (names_in(root) != std::set<std::string>{"image.113", "sentinel", "work"})
    escape("something appeared or vanished beside the working directory");
  // A write to the image would move its size or modification time.
  struct stat after;
  if (stat(img_path.c_str(), &after) != 0 || after.st_size != before.st_size ||
      after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
      after.st_mtim.tv_nsec != before.st_mtim.tv_nsec)
    escape("the image changed");
  empty_work();
  return 0;
}
