// A build without libsystemd: the service tells no manager anything.
#include "host/service_manager.h"

namespace quorvantix::host {

ServiceManager::ServiceManager() = default;

bool ServiceManager::can_notify() { return false; }

void ServiceManager::ready() {}

void ServiceManager::stopping() {}

void ServiceManager::waiting(std::chrono::nanoseconds) {}

}  // namespace quorvantix::host
