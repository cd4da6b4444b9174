// A set of images read as one stream.
#pragma once

#include <string>
#include <vector>

#include "zvol/zvol.h"

namespace cartsift {

// ---- a set of images as one stream ----------------------------------------

// The data regions of a set's images, in cartridge order, read as one stream
// through the same img_* calls and fnd_sig as a single image, so that no
// record reader knows where one cartridge ends. A part that does not join
// on to the one before (a cartridge is missing between them, or the image
// before is cut short) starts behind a barrier: reads and copies stop at
// it, a signature search goes on past it. Stream offsets start at 0 with
// the first part's first byte.
struct set_part {
  std::string path;
  int64_t start = 0; // first byte of its data region in the image
  int64_t end = 0;   // end of its data region (its catalog offset or its size)
  bool gap_before = false; // a barrier before it
  bool inflate = false;  // a compressed volume, read through its inflated view
  bool spanning = false; // its extents may run across segments
};

// A handle for the img_* calls; the parts' images are opened as the stream
// reaches them, one at a time. -1 when no stream can be had.
int set_open(std::vector<set_part> parts);
// The same, with why a compressed part could not be opened.
int set_open(std::vector<set_part> parts, std::string *why);

// Null for a part that is not compressed.
const z_info *set_zinfo(int sfd, size_t part);
size_t set_parts(int sfd);
// Inflates every extent of the compressed parts that no read has reached
// yet, so that their holes are all known.
void set_inflate_all(int sfd);
void set_close(int sfd); // img_close does the same for a stream
// A second stream over the same parts, with its own position and views.
int set_dup(int sfd);
// Where the stream's data goes on after a hole at soff: the next extent of
// a compressed part; soff itself where it knows of none.
int64_t set_after_hole(int sfd, int64_t soff);
struct set_place {
  size_t part = 0;
  int64_t off = 0; // offset in that part's image
};
set_place set_locate(int sfd, int64_t soff);
int64_t set_base(int sfd, size_t part); // stream offset of a part's first byte

} // namespace cartsift
