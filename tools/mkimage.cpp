// mkimage: writes the demo images and the benchmark images.
//   mkimage demo <dir>   -> <dir>/demo.113, <dir>/demo-1.113 .. <dir>/demo-3.113,
//                           their compressed twins demo-z.113, demo-z1.113 .. demo-z3.113
//   mkimage names <dir>  -> <dir>/names.113, <dir>/longpath.113
//   mkimage bench tree <image> <tar> [files [bytes [zimage]]]
//   mkimage bench big <image> <copy> [bytes]
//   mkimage bench zbig <image> <stream> [bytes]
//   mkimage bench set3 <prefix> <copy> [bytes] -> <prefix>-1.113 .. <prefix>-3.113
//   mkimage bench zset3 <prefix> <copy> [bytes]   the same, compressed
//   mkimage bench junk <image> [bytes]
//   mkimage bench many <image> [entries [zimage]]
//   mkimage bench longdirs <image> [dirs]
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "img_builder.h"

namespace {

int usage() {
  std::fprintf(stderr, "usage: mkimage demo <dir>\n"
                       "       mkimage names <dir>\n"
                       "       mkimage bench tree <image> <tar> [files [bytes [zimage]]]\n"
                       "       mkimage bench big <image> <copy> [bytes]\n"
                       "       mkimage bench zbig <image> <stream> [bytes]\n"
                       "       mkimage bench set3 <prefix> <copy> [bytes]\n"
                       "       mkimage bench zset3 <prefix> <copy> [bytes]\n"
                       "       mkimage bench junk <image> [bytes]\n"
                       "       mkimage bench many <image> [entries [zimage]]\n"
                       "       mkimage bench longdirs <image> [dirs]\n");
  return 2;
}

// A count from the command line, or def when absent; false when malformed.
bool count(int argc, char **argv, int i, unsigned long long def, unsigned long long *v) {
  if (i >= argc) {
    *v = def;
    return true;
  }
  char *end = nullptr;
  *v = std::strtoull(argv[i], &end, 0);
  return end != argv[i] && *end == '\0';
}

} // namespace

int main(int argc, char **argv) {
  using namespace cartsift::build;
  if (argc < 3)
    return usage();
  const std::string what = argv[1];
  try {
    if (what == "demo" && argc == 3) {
      std::string dir = argv[2];
      const image demo = demo_image();
      demo.save(dir + "/demo.113");
      compress_image(demo).save(dir + "/demo-z.113");
      std::vector<image> set = demo_set();
      for (size_t i = 0; i < set.size(); ++i) {
        set[i].save(dir + "/demo-" + std::to_string(i + 1) + ".113");
        compress_image(set[i], demo_set_layout(i)).save(dir + "/demo-z" + std::to_string(i + 1) + ".113");
      }
      return 0;
    }
    if (what == "names" && argc == 3) {
      awkward_names_image().save(std::string(argv[2]) + "/names.113");
      long_path_image().save(std::string(argv[2]) + "/longpath.113");
      return 0;
    }
    if (what != "bench")
      return usage();
    const std::string kind = argv[2];
    unsigned long long n = 0, bytes = 0;
    if (kind == "tree" && argc >= 5 && argc <= 8 && count(argc, argv, 5, 100000, &n) &&
        n <= 0xFFFFFFFF && count(argc, argv, 6, 1ULL << 30, &bytes)) {
      tree_counts c = bench_tree(argv[3], argv[4], static_cast<uint32_t>(n), bytes,
                                 argc == 8 ? argv[7] : "");
      std::printf("%llu files, %llu directories, %llu data bytes\n",
                  (unsigned long long)c.files, (unsigned long long)c.dirs,
                  (unsigned long long)c.bytes);
      return 0;
    }
    if (kind == "big" && argc >= 5 && argc <= 6 && count(argc, argv, 5, 1ULL << 30, &bytes) &&
        bytes <= 0xFFFFFFFF) {
      bench_big(argv[3], argv[4], bytes);
      return 0;
    }
    if (kind == "zbig" && argc >= 5 && argc <= 6 && count(argc, argv, 5, 1ULL << 30, &bytes) &&
        bytes <= 0xFFFFFFFF) {
      bench_zbig(argv[3], argv[4], bytes);
      return 0;
    }
    if ((kind == "set3" || kind == "zset3") && argc >= 5 && argc <= 6 &&
        count(argc, argv, 5, 1ULL << 30, &bytes) && bytes <= 0xFFFFFFFF) {
      comp_options z;
      z.spanning = true; // the other layout than zbig's
      bench_set3(argv[3], argv[4], bytes, kind == "zset3" ? &z : nullptr);
      return 0;
    }
    if (kind == "junk" && argc >= 4 && argc <= 5 && count(argc, argv, 4, 1ULL << 29, &bytes)) {
      bench_junk(argv[3], bytes);
      return 0;
    }
    if (kind == "many" && argc >= 4 && argc <= 6 && count(argc, argv, 4, 1000000, &n) &&
        n >= 1 && n <= 0xFFFFFFFF) {
      tree_counts c = bench_many(argv[3], static_cast<uint32_t>(n), argc == 6 ? argv[5] : "");
      std::printf("%llu files, %llu directories, %llu data bytes\n",
                  (unsigned long long)c.files, (unsigned long long)c.dirs,
                  (unsigned long long)c.bytes);
      return 0;
    }
    if (kind == "longdirs" && argc >= 4 && argc <= 5 && count(argc, argv, 4, 300000, &n) &&
        n <= 0xFFFFFFFF) {
      tree_counts c = bench_long_dirs(argv[3], static_cast<uint32_t>(n));
      std::printf("%llu directories\n", (unsigned long long)c.dirs);
      return 0;
    }
    return usage();
  } catch (const std::exception &e) {
    std::fprintf(stderr, "mkimage: %s\n", e.what());
    return 1;
  }
}
