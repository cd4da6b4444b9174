// Whole everyday runs (--list, --test, --info, --extract) in-process over one
// to three images made from the input (see everyday_input.h). As in
// run_fuzz, extraction happens in a scratch directory and the tree around
// it must look exactly as before; links planted in place of what a first
// extraction wrote must be replaced or refused, never written through; runs
// that extract nothing write nothing, and no run leaves a descriptor open.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "everyday_input.h"
#include "scratch.h"

namespace {

namespace fs = std::filesystem;
using namespace cartsift;
using namespace cartsift::fuzzscratch;

std::string root, work, sentinel, decoy;
const char *const IMAGE_NAMES[] = {"a.113", "b.113", "c.113"};
int null_fd = -1, saved_out = -1;
FILE *devnull = nullptr;
struct stat sentinel_st, decoy_st;

// The runs' output goes nowhere: standard output as a descriptor, since -O
// writes there, standard error as the stream the tool's messages take, so
// that libFuzzer's and the sanitizers' own reports still reach the terminal.
class silenced {
public:
  silenced() : err_(stderr) {
    std::fflush(stdout);
    std::fflush(stderr);
    if (dup2(null_fd, STDOUT_FILENO) < 0)
      escape("cannot silence standard output");
    stderr = devnull;
  }
  ~silenced() {
    std::fflush(stdout);
    std::fflush(devnull);
    stderr = err_;
    if (dup2(saved_out, STDOUT_FILENO) < 0)
      escape("cannot restore standard output");
  }
  silenced(const silenced &) = delete;
  silenced &operator=(const silenced &) = delete;

private:
  FILE *err_;
};

size_t open_fds() { return names_in("/proc/self/fd").size(); }

bool same_times(const struct stat &a, const struct stat &b) {
  return a.st_mode == b.st_mode && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

// Every fourth entry is left as it is; the others become a link to the
// sentinel, to the decoy directory, or to a name inside it that does not
// exist yet. The top directories stay, so that links deeper down are met.
// Deepest first, so that replacing a directory comes after its contents.
void plant_links(const std::string &dir) {
  std::vector<std::pair<fs::path, bool>> found; // and whether it may go
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(dir, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
    found.emplace_back(it->path(), it.depth() > 0 || !it->is_directory(ec));
  std::reverse(found.begin(), found.end());
  for (size_t i = 0; i < found.size(); i++) {
    const fs::path &p = found[i].first;
    if (i % 4 == 0 || !found[i].second)
      continue;
    const std::string to = i % 4 == 1   ? sentinel
                           : i % 4 == 2 ? decoy
                                        : decoy + "/" + p.filename().string();
    fs::permissions(p.parent_path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(p, ec);
    if (symlink(to.c_str(), p.c_str()) != 0)
      escape("cannot plant a link at " + p.string());
  }
}

int run(const std::vector<std::string> &args) {
  std::vector<std::string> copy = args;
  std::vector<char *> argv;
  for (auto &a : copy)
    argv.push_back(a.data());
  argv.push_back(nullptr);
  silenced quiet;
  return cli::everyday_main(int(copy.size()), argv.data());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TZ", "UTC", 1);
  tzset();
  who = "everyday_fuzz";
  root = make_root();
  work = root + "/work";
  sentinel = root + "/sentinel";
  decoy = root + "/decoy";
  if (mkdir(work.c_str(), 0755) != 0 || mkdir(decoy.c_str(), 0755) != 0)
    escape("cannot make " + work + " or " + decoy);
  write_file(sentinel, SENTINEL_TEXT.data(), SENTINEL_TEXT.size());
  if (stat(sentinel.c_str(), &sentinel_st) != 0 || stat(decoy.c_str(), &decoy_st) != 0)
    escape("cannot stat the sentinel or the decoy");
  if (chdir(work.c_str()) != 0)
    escape("cannot enter " + work);
  null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  saved_out = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
  devnull = std::fopen("/dev/null", "w");
  if (null_fd < 0 || saved_out < 0 || !devnull)
    escape("cannot open /dev/null or keep standard output");
  // The scratch tree goes when the fuzzer exits normally.
  std::atexit([] {
    std::error_code ec;
    if (chdir("/") == 0) {
      empty_dir(work);
      fs::remove_all(root, ec);
    }
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  using namespace cartsift::fuzzin;
  if (size < EV_CTL)
    return 0;
  const auto &runs = EVERYDAY[data[0] % EVERYDAY.size()];
  const uint8_t flags = data[5];
  const std::vector<std::vector<uint8_t>> imgs = ev_images(data, size);

  std::set<std::string> expected = {"sentinel", "work", "decoy"};
  std::vector<std::string> paths;
  std::vector<struct stat> before(imgs.size());
  for (size_t k = 0; k < imgs.size(); k++) {
    paths.push_back(root + "/" + IMAGE_NAMES[k]);
    expected.insert(IMAGE_NAMES[k]);
    write_file(paths[k], imgs[k].data(), imgs[k].size());
    if (stat(paths[k].c_str(), &before[k]) != 0)
      escape("cannot stat " + paths[k]);
  }
  std::vector<std::string> named = paths;
  for (int i = 0; i < (flags & 7); i++)
    std::next_permutation(named.begin(), named.end());
  if (flags & NAME_TWICE)
    named.push_back(named.front());

  const size_t fds = open_fds();
  bool wrote = false; // whether some run writes a tree
  for (size_t r = 0; r < runs.size(); r++) {
    std::vector<std::string> args = {"cartsift"};
    std::string out = ".";
    for (const auto &a : runs[r]) {
      args.push_back(replace_all(a, "@W", work));
      if (args.size() > 2 && args[args.size() - 2] == "-C")
        out = args.back();
    }
    const bool tree = args[1] == "--extract" &&
                      std::find(args.begin(), args.end(), "-O") == args.end();
    if (tree && wrote && (flags & PLANT_LINKS))
      plant_links(out);
    wrote = wrote || tree;
    args.insert(args.end(), named.begin(), named.end());

    const int status = run(args);
    if (status < 0 || status > 2)
      escape("a run ended with status " + std::to_string(status));
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd) || work != cwd)
      escape("the run changed the working directory");
    struct stat st;
    if (slurp(sentinel) != SENTINEL_TEXT || stat(sentinel.c_str(), &st) != 0 ||
        !same_times(st, sentinel_st))
      escape("the sentinel changed");
    if (!names_in(decoy).empty() || stat(decoy.c_str(), &st) != 0 || !same_times(st, decoy_st))
      escape("something was written through a link into the decoy directory");
    if (names_in(root) != expected)
      escape("something appeared or vanished beside the working directory");
    for (size_t k = 0; k < paths.size(); k++)
      if (stat(paths[k].c_str(), &st) != 0 || !same_times(st, before[k]))
        escape("image " + paths[k] + " changed");
    if (!wrote && !names_in(work).empty())
      escape("a run that extracts nothing wrote to the working directory");
  }
  if (open_fds() != fds)
    escape("the runs left a descriptor open");

  empty_dir(work);
  for (const auto &p : paths)
    unlink(p.c_str());
  return 0;
}
