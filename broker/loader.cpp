/*
 * The plug-in loader of the stand-in broker: opens a plug-in library, finds its entry
 * point bipGetMessageflowNodeFactory, calls it once per process per library and records
 * the factory and the node classes it defined.
 *
 * Owns the table of loaded libraries (process-wide, locked; libraries stay loaded until
 * the process ends, as plug-ins have no unload operation). Called by the runtime and
 * tests through host.h.
 */
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <map>
#include <mutex>

#include "broker/internal.h"
#include "broker/nodes.h"

namespace broker {

namespace {

struct Loaded {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<PluginLibrary>> byPath;
    std::map<std::string, std::string> failed; /* entry points that failed: their error */
};

Loaded &loaded() {
    static Loaded *instance = new Loaded();
    return *instance;
}

using EntryPoint = void *(*)();

const char *ENTRY_POINT = "bipGetMessageflowNodeFactory";

} // namespace

const PluginLibrary &loadPlugin(const std::string &path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        throw Error("cannot load plug-in library '" + path + "': " + std::strerror(errno));
    }
    Loaded &l = loaded();
    std::lock_guard lock(l.mutex);
    auto found = l.byPath.find(resolved);
    if (found != l.byPath.end()) {
        return *found->second;
    }
    if (auto failure = l.failed.find(resolved); failure != l.failed.end()) {
        throw Error(failure->second); // the entry point runs once per process
    }
    dlerror();
    void *handle = dlopen(resolved, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *reason = dlerror();
        throw Error("cannot load plug-in library '" + path +
                    "': " + (reason != nullptr ? reason : "unknown reason"));
    }
    dlerror();
    void *symbol = dlsym(handle, ENTRY_POINT);
    if (symbol == nullptr) {
        const char *reason = dlerror();
        std::string text = "plug-in library '" + path + "' has no entry point " + ENTRY_POINT +
                           ": " + (reason != nullptr ? reason : "symbol is null");
        dlclose(handle);
        throw Error(text);
    }
    auto library = std::make_unique<PluginLibrary>();
    library->path = resolved;
    auto entry = reinterpret_cast<EntryPoint>(symbol);
    std::shared_ptr<const BrokerException> raised;
    void *factory = nullptr;
    std::string failure;
    beginLibraryLoad(library.get());
    try {
        raised = guard([&] { factory = entry(); });
    } catch (const std::exception &e) {
        failure = std::string(" failed: ") + e.what();
    } catch (...) {
        failure = " failed with an unknown exception";
    }
    endLibraryLoad();
    if (raised != nullptr) {
        failure = std::string(" raised an exception: ") + raised->what();
    } else if (failure.empty() && factory == nullptr) {
        failure = " answered no factory";
    }
    if (!failure.empty()) {
        // The library stays loaded: a factory or class of it may already be registered
        // and must stay callable.
        std::string text = "plug-in library '" + path + "': " + ENTRY_POINT + failure;
        l.failed.emplace(resolved, text);
        throw Error(text);
    }
    library->factory = static_cast<CciFactory *>(factory);
    const PluginLibrary &record = *library;
    l.byPath.emplace(resolved, std::move(library));
    return record;
}

} // namespace broker
