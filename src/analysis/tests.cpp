// Field consistency tests over the entry bytes whose meaning is not settled.
#include <cstring>

#include "analysis/analysis.h"

namespace cartsift {

namespace {

// Where each group starts in the 118-byte vector.
constexpr int G1 = 0, G2 = 69, G3 = 90;

void print_fixed(int pos, uint8_t v) {
  if (pos < G2)
    out("\nunknw1[%d] = 0x%x", pos - G1, v);
  else if (pos < G3)
    out("\nunknw2[%d] = 0x%x", pos - G2, v);
  else
    out("\nunknw3[%d] = 0x%x", pos - G3, v);
}

void print_mismatch(int pos, uint8_t d, uint8_t c) {
  if (pos < G2)
    out("\nunknw1[%d] mismatch 0x%x != 0x%x", pos - G1, d, c);
  else if (pos < G3)
    out("\nunknw2[%d] mismatch 0x%x != 0x%x", pos - G2, d, c);
  else
    out("\nunknw3[%d] mismatch 0x%x != 0x%x", pos - G3, d, c);
}

void vector_of(uint8_t *v, const uint8_t *u1, const uint8_t *u2, const uint8_t *u3) {
  std::memcpy(v + G1, u1, 69);
  std::memcpy(v + G2, u2, 21);
  std::memcpy(v + G3, u3, 28);
}

} // namespace

void init_tests(uint8_t *unknwn, uint8_t *bconst, const uint8_t *unknw1,
                const uint8_t *unknw2, const uint8_t *unknw3) {
  vector_of(unknwn, unknw1, unknw2, unknw3);
  std::memset(bconst, 1, UNKNW_SIZE);
}

int test_rec(const uint8_t *unknwn, uint8_t *bconst, const uint8_t *unknw1,
             const uint8_t *unknw2, const uint8_t *unknw3) {
  uint8_t v[UNKNW_SIZE];
  vector_of(v, unknw1, unknw2, unknw3);
  int matches = 0;
  for (int i = 0; i < UNKNW_SIZE; i++) {
    if (v[i] == unknwn[i])
      matches++;
    else
      bconst[i] = 0;
  }
  return matches;
}

int test_results(const uint8_t *unknwn, const uint8_t *bconst) {
  out("\nthe following locations have fixed values for all data");
  int cnt = 0;
  for (int i = 0; i < UNKNW_SIZE; i++) {
    if (bconst[i]) {
      print_fixed(i, unknwn[i]);
      cnt++;
    }
  }
  out("\n%d matches for all out of 118 possible unknwn? bytes", cnt);
  return cnt;
}

int do_tests1(const dir_list *dlst) {
  uint8_t unknwn[UNKNW_SIZE], bconst[UNKNW_SIZE];
  const dir_head &first = dlst->dhead;
  init_tests(unknwn, bconst, first.unknw1, first.unknw2, first.unknw3);
  out("\ncheck matching bytes between all entries for File archive entries");
  int n = 2;
  for (const dir_list *p = dlst->next.get(); p; p = p->next.get(), n++) {
    int m = test_rec(unknwn, bconst, p->dhead.unknw1, p->dhead.unknw2, p->dhead.unknw3);
    out("\n%2d: matches %d", n, m);
  }
  return test_results(unknwn, bconst);
}

int do_tests2(const cat_list *clst) {
  uint8_t unknwn[UNKNW_SIZE], bconst[UNKNW_SIZE];
  const cat_head &first = clst->chead;
  init_tests(unknwn, bconst, first.unknw1, first.unknw2, first.unknw3);
  out("\ncheck matching bytes between all entries for catalog entries:");
  int n = 2;
  for (const cat_list *p = clst->next.get(); p; p = p->next.get(), n++) {
    int m = test_rec(unknwn, bconst, p->chead.unknw1, p->chead.unknw2, p->chead.unknw3);
    out("\n%2d: matches %d", n, m);
  }
  return test_results(unknwn, bconst);
}

int do_tests3(const dir_list *dlst, const cat_list *clst) {
  out("\ncompare files list to catalog list unknwns[]");
  int rec = 0, total = 0;
  uint8_t dunkw[UNKNW_SIZE], cunkw[UNKNW_SIZE], flags[UNKNW_SIZE];
  for (; dlst && clst; dlst = dlst->next.get(), clst = clst->next.get()) {
    init_tests(dunkw, flags, dlst->dhead.unknw1, dlst->dhead.unknw2, dlst->dhead.unknw3);
    init_tests(cunkw, flags, clst->chead.unknw1, clst->chead.unknw2, clst->chead.unknw3);
    out("\nrec %d", ++rec);
    for (int i = 0; i < UNKNW_SIZE; i++) {
      if (dunkw[i] != cunkw[i]) {
        print_mismatch(i, dunkw[i], cunkw[i]);
        total++;
      }
    }
  }
  return total;
}

} // namespace cartsift
