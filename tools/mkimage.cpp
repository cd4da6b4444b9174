// mkimage: writes the demo images.
//   mkimage demo <dir>   -> <dir>/demo.113, <dir>/demo-1.113, <dir>/demo-2.113
#include <cstdio>
#include <exception>
#include <string>

#include "img_builder.h"

int main(int argc, char **argv) {
  using namespace cartsift::build;
  if (argc != 3 || std::string(argv[1]) != "demo") {
    std::fprintf(stderr, "usage: mkimage demo <dir>\n");
    return 2;
  }
  std::string dir = argv[2];
  try {
    demo_image().save(dir + "/demo.113");
    image_pair p = demo_pair();
    p.first.save(dir + "/demo-1.113");
    p.second.save(dir + "/demo-2.113");
  } catch (const std::exception &e) {
    std::fprintf(stderr, "mkimage: %s\n", e.what());
    return 1;
  }
  return 0;
}
