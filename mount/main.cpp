#include "mount/mount_main.h"

int main(int argc, char** argv) { return quorvantix::mount::mount_main(argc, argv); }
