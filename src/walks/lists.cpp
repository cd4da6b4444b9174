// Saved entry lists. Unlinking node by node keeps a list of any length from
// recursing once per node on destruction.
#include "walks/walks.h"

namespace cartsift {

dir_list::~dir_list() {
  while (next)
    next = std::move(next->next);
}

cat_list::~cat_list() {
  while (next)
    next = std::move(next->next);
}

} // namespace cartsift
