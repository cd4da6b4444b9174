// Command-line driver: the volume summary, the raw-data and survey commands
// and the run dispatch.
#pragma once

#include <cstdint>

#include "analysis/analysis.h"
#include "walks/walks.h"

namespace cartsift {

// Runs the first -dd or -di command on the command line; 1 when one ran.
int do_debug(int fp, uint16_t mode, const fheader *hdr, const qic_vtbl *vtbl,
             int64_t cats, int32_t maxx, const char *xpath, int argc,
             char **argv);

// The whole run; returns the process status.
int cartsift_main(int argc, char **argv);

} // namespace cartsift
