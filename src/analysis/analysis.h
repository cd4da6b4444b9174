// Field analysis: consistency tests over the entry bytes whose meaning is
// not settled (unknw1, unknw2, unknw3: 118 bytes in all).
#pragma once

#include <cstdint>

#include "walks/walks.h"

namespace cartsift {

constexpr int UNKNW_SIZE = 69 + 21 + 28;

void init_tests(uint8_t *unknwn, uint8_t *bconst, const uint8_t *unknw1,
                const uint8_t *unknw2, const uint8_t *unknw3);
int test_rec(const uint8_t *unknwn, uint8_t *bconst, const uint8_t *unknw1,
             const uint8_t *unknw2, const uint8_t *unknw3);
int test_results(const uint8_t *unknwn, const uint8_t *bconst);
int do_tests1(const dir_list *dlst);
int do_tests2(const cat_list *clst);
int do_tests3(const dir_list *dlst, const cat_list *clst);

} // namespace cartsift
