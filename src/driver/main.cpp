#include "driver/driver.h"

int main(int argc, char **argv) { return cartsift::cartsift_main(argc, argv); }
