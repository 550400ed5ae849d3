#include "customer/customer_main.h"

int main(int argc, char** argv) { return quorvantix::customer::customer_main(argc, argv); }
