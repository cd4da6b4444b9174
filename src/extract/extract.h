// File extraction: output paths, writing one file with its time and
// attribute, and continuing a file from the next image of a set.
#pragma once

#include <cstdint>
#include <ctime>

#include "records/records.h"

namespace cartsift {

// Composes the display path (drive spec, '\\', path components separated by
// '\\') into buf and returns its length; -1 when it would not fit, buf then
// holding as much as fits, terminated. This text is what the -p filter
// compares and what messages print.
int mk_path_str(const uni_str *drv, const uni_str *path);
void adjust_path(char *ch); // every ':' becomes '_'

// Results of validate_dir and create_path: 0 exists or made (or empty),
// 1 exists but not a directory, 2 could not be made. Host paths.
[[nodiscard]] int validate_dir(const char *p);
[[nodiscard]] int create_path(char *p);
// validate_dir, then create_path when needed, skipping directories already
// known to exist in this run (*cached then set). forget_dirs() drops that
// knowledge when it has proved wrong.
[[nodiscard]] int make_dirs(char *p, bool *cached);
void forget_dirs();

// Results of do_extract.
constexpr int XTRACT_OK = 0;
constexpr int XTRACT_NO_DIR = 1;     // output directory not creatable
constexpr int XTRACT_NO_OPEN = 2;    // output not openable / no image position
constexpr int XTRACT_IO = 3;         // short read or write
constexpr int XTRACT_NEXT_IMAGE = 4; // continuation failed or abandoned
constexpr int XTRACT_REFUSED = 5;    // not written: unsafe or too long; data not consumed

// Writes one file from the image's current position. buf holds the display
// path from mk_path_str; drv and path, the same ones mk_path_str was given,
// are the components the host path is built from (never the display text).
// A "." or ".." component, an empty name or a text too long for buf is
// refused with one line before anything is read or created.
[[nodiscard]] int do_extract(int fp, const uni_str *nm, int64_t len,
                             int64_t cats, const time_t *t, uint8_t atrib,
                             const uni_str *drv, const uni_str *path);
int set_fattrib(const char *name, const time_t *datetime, uint8_t attrib);

// Appends len bytes from the data region of the next image, whose name is
// read from standard input. 0, -1 abandoned (or end of input), -3 short
// read or write.
[[nodiscard]] int next_image_data(int fo, int64_t len);

} // namespace cartsift
