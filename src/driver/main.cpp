#include "cli/cli.h"
#include "driver/driver.h"

// The face is chosen once: any of the four everyday commands on the line
// selects the everyday interface, anything else is the classic run.
int main(int argc, char **argv) {
  if (cartsift::cli::wanted(argc, argv))
    return cartsift::cli::everyday_main(argc, argv);
  return cartsift::cartsift_main(argc, argv);
}
