#include <map>
#include <mutex>
#include <string>

#include "service.h"

namespace bw::sim::md {
namespace {

struct Registry {
    std::mutex mutex;
    std::map<std::string, ServiceFactory, std::less<>> factories;
};

// Filled while the library loads, by the service files; never destroyed.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

}  // namespace

bool RegisterService(const char* name, ServiceFactory factory) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.factories.emplace(name, factory).second;
}

ServiceFactory FindServiceFactory(std::string_view name) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto found = registry.factories.find(name);
    return found != registry.factories.end() ? found->second : nullptr;
}

}  // namespace bw::sim::md
