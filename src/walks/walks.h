// Data region and catalog walks: the listing of the data region (with its
// extraction step), the survey of a whole image and the catalog listing.
#pragma once

#include <cstdint>
#include <memory>

#include "extract/extract.h"
#include "records/records.h"

namespace cartsift {

constexpr int MAX_DRV = 6;

// Entries saved by the data-region walk in test mode, in walk order.
struct dir_list {
  int32_t cnt = 0;  // number in the listing, from 1
  int64_t off = 0;  // offset of the entry's DIR_SIG
  dir_head dhead;   // owns its strings
  std::unique_ptr<dir_list> next;
  dir_list() = default;
  dir_list(const dir_list &) = delete;
  dir_list &operator=(const dir_list &) = delete;
  ~dir_list(); // unlinks iteratively: lists can be long
};

// Entries saved by the catalog listing in test mode.
struct cat_list {
  int cnt = 0;
  int64_t off = 0; // offset of the catalog entry
  cat_head chead;
  std::unique_ptr<cat_list> next;
  cat_list() = default;
  cat_list(const cat_list &) = delete;
  cat_list &operator=(const cat_list &) = delete;
  ~cat_list();
};

// Lists the data region from soff; entries listed, or a negative code.
int parse_ucomp(int fp, uint16_t mode, int64_t soff, int64_t cats,
                std::unique_ptr<dir_list> *ptrl, const char *xpath, int32_t maxx,
                int32_t dbcnt);

// Surveys the whole image: backups, their counts and catalogs.
int parse_image(int fp, uint16_t mode, const fheader *hdr, const qic_vtbl *vtbl);

// Lists the catalog at off, mapping entries to the data region from doff
// when doff is not negative.
int parse_cat(int fp, uint16_t mode, std::unique_ptr<cat_list> *ptrl, int64_t off,
              int64_t doff);

} // namespace cartsift
