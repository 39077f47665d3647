// Host::ModuleLoader: the least module loader the library's entry point
// needs. Modules announce an initialisation function; the host calls
// initializeModules() when it is ready, and may announce that an entry goes
// away (endEntry), which tells every registration observing it.
//
// The loader lives for the whole process and is never destroyed, because the
// library's unload hook releases its registration after the program's own
// static objects are gone.
#pragma once

#include <boost/function.hpp>
#include <cstddef>
#include <list>

#include "Core/registration/manageDllRegistations.h"

namespace Host {

class ModuleLoader {
public:
    static ModuleLoader& instance();

    // What Core::registerInitializeModuleFunction does.
    Core::ModuleEntry* add(const Core::InitializeModuleFunction& function);

    // Calls the function of every entry still held by a module.
    void initializeModules();
    // Tells every observer of `entry` that it goes away; the entry is then
    // dead: its release function is never called.
    void endEntry(Core::ModuleEntry* entry);

    // Entries added and not yet released or ended.
    std::size_t liveEntries() const;
    // Entries whose release function has run.
    std::size_t releasedEntries() const { return m_released; }
    Core::ModuleEntry* lastEntry();
    // The next add raises std::runtime_error (to test failing attaches).
    void failNextRegistration() { m_failNext = true; }

private:
    struct Entry;
    class Observers;

    ModuleLoader() = default;
    static void releaseEntry(void* entry);

    std::list<Entry*> m_entries;
    std::size_t m_released = 0;
    bool m_failNext = false;
};

}  // namespace Host
