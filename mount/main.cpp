#include "mount_main.h"

int main(int argc, char** argv) { return mount_side::mount_main(argc, argv); }
