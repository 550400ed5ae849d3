#include "customer_main.h"

int main(int argc, char** argv) { return customer_side::customer_main(argc, argv); }
