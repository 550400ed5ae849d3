#include "service/service.h"

int main(int argc, char** argv) { return quorvantix::service::service_main(argc, argv); }
