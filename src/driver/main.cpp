#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "driver/driver.h"
#include "platform/platform.h"

// The face is chosen once: any of the four everyday commands on the line
// selects the everyday interface, anything else is the classic run.
int main(int argc, char **argv) {
  cartsift::platform::utf8_args(&argc, &argv);
  if (cartsift::cli::wanted(argc, argv))
    return cartsift::cli::everyday_main(argc, argv);
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    // The everyday interface first: it is the one a newcomer wants. The
    // classic run then prints its banner and usage as it always has. Its
    // output stream sets stdout's buffer on first use, which must come
    // before anything is written there.
    cartsift::out_flush();
    cartsift::cli::help(stdout);
    cartsift::cli::text(stdout, "\nThe classic interface: one image at a time, its structure in detail\n");
  }
  return cartsift::cartsift_main(argc, argv);
}
