#include "host/module_loader.h"

#include <stdexcept>

namespace Host {

namespace {
void ignore(void*) {}
}  // namespace

// An intrusive list behind a sentinel, so observers unlink themselves.
class ModuleLoader::Observers : public Core::ObserverList {
public:
    Observers() : m_head(&ignore, nullptr) {}
    void attach(Core::SimpleObserver& observer) override {
        observer.unlink();
        observer.next() = m_head.next();
        observer.previous() = &m_head;
        if (m_head.next()) m_head.next()->previous() = &observer;
        m_head.next() = &observer;
    }
    void detach(Core::SimpleObserver& observer) override { observer.unlink(); }
    // Notifies and unlinks every observer.
    void endAll() {
        while (Core::SimpleObserver* o = m_head.next()) {
            o->unlink();
            o->notify();
        }
    }

private:
    Core::SimpleObserver m_head;
};

struct ModuleLoader::Entry {
    Core::ModuleEntry entry;
    boost::function0<void> function;
    Observers observers;
    bool live = true;
};

ModuleLoader& ModuleLoader::instance() {
    static ModuleLoader* loader = new ModuleLoader;  // never destroyed, see the header
    return *loader;
}

Core::ModuleEntry* ModuleLoader::add(const Core::InitializeModuleFunction& function) {
    if (m_failNext) {
        m_failNext = false;
        throw std::runtime_error("module loader refused the registration");
    }
    Entry* e = new Entry;
    e->function = function.second;
    e->entry.release = &ModuleLoader::releaseEntry;
    e->entry.releaseArgument = e;
    e->entry.observers = &e->observers;
    e->entry.attachments = 0;
    e->entry.registrant = function.first;
    m_entries.push_back(e);
    return &e->entry;
}

void ModuleLoader::releaseEntry(void* entry) {
    Entry* e = static_cast<Entry*>(entry);
    e->live = false;
    ++instance().m_released;
}

void ModuleLoader::initializeModules() {
    for (Entry* e : m_entries)
        if (e->live && e->function) e->function();
}

void ModuleLoader::endEntry(Core::ModuleEntry* entry) {
    for (Entry* e : m_entries) {
        if (&e->entry != entry) continue;
        e->live = false;
        e->observers.endAll();
    }
}

std::size_t ModuleLoader::liveEntries() const {
    std::size_t n = 0;
    for (const Entry* e : m_entries) n += e->live ? 1 : 0;
    return n;
}

Core::ModuleEntry* ModuleLoader::lastEntry() { return m_entries.empty() ? nullptr : &m_entries.back()->entry; }

}  // namespace Host

Core::ModuleEntry* Core::registerInitializeModuleFunction(const InitializeModuleFunction& function) {
    return Host::ModuleLoader::instance().add(function);
}
