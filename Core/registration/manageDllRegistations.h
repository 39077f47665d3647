// Registration of the library with the host's module loader.
//
// The loader (a host component) keeps an entry per announced module
// function. The library holds each announcement as a Core::Registration,
// which attaches an observer to the entry so that the entry can say it is
// going away, and releases the entry when the library detaches.
// manageDllRegistations runs both directions from the entry point.
#pragma once

#include <boost/function.hpp>
#include <string>
#include <utility>
#include <vector>

#include "support/strings.h"

namespace Core {

// A source location: line, file, function, and a value we always pass as 0.
struct SrcInfo {
    int line;
    const char* file;
    const char* function;
    int reserved;
};

class SimpleObserver;

// What the loader's entry offers for observers: slot 2 attaches, slot 3
// detaches.
class ObserverList {
public:
    virtual ~ObserverList() {}
    virtual void attach(SimpleObserver& observer) = 0;
    virtual void detach(SimpleObserver& observer) = 0;
};

// The loader's entry for one announced function, as the library uses it.
struct ModuleEntry {
    void (*release)(void*);  // called with releaseArgument when the last attachment goes
    void* releaseArgument;
    ObserverList* observers;
    int attachments;
    SrcInfo registrant;
};

typedef std::pair<const SrcInfo, boost::function0<void> > InitializeModuleFunction;

// Host: the module loader takes the function it will call to initialise the
// module later, and returns its entry.
ModuleEntry* registerInitializeModuleFunction(const InitializeModuleFunction& function);

namespace Debug {
// Host: the debug log.
void logDllEntryPoint(void* instance, int reason, const SrcInfo& where);
void logException(const SrcInfo& where, const Strings::BasicConstStringRef<std::string>& message);
}  // namespace Debug

// A link in an entry's intrusive list of observers, with the callback the
// entry calls when it goes away. Destroying an observer unlinks it.
class SimpleObserver {
public:
    typedef void (*Callback)(void* argument);

    SimpleObserver(Callback callback, void* argument)
        : m_callback(callback), m_argument(argument), m_previous(nullptr), m_next(nullptr) {}
    ~SimpleObserver() { unlink(); }
    SimpleObserver(const SimpleObserver&) = delete;
    SimpleObserver& operator=(const SimpleObserver&) = delete;

    void notify() { m_callback(m_argument); }
    // The list's own links; the entry's observer list maintains them.
    SimpleObserver*& previous() { return m_previous; }
    SimpleObserver*& next() { return m_next; }
    void unlink();

private:
    Callback m_callback;
    void* m_argument;
    SimpleObserver* m_previous;
    SimpleObserver* m_next;
};

// One announcement held by the library.
class Registration {
public:
    // Attaches to the entry and records `info` as its registrant.
    Registration(ModuleEntry* handle, const SrcInfo& info);
    // Moving re-attaches the observer for the new address.
    Registration(Registration&& other);
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    Registration& operator=(Registration&&) = delete;
    // Releases the entry (see release).
    ~Registration() { release(); }

    // Drops this attachment; the last one calls the entry's release function.
    void release();
    ModuleEntry* handle() const { return m_handle; }

private:
    static void entryGoingAway(void* self);

    ModuleEntry* m_handle;
    SimpleObserver m_observer;
};

typedef std::vector<Registration> Registrations;

// Location of the failure reports below.
SrcInfo registrationFailureLocation(int line);

// Attach (reason 1): makes the list and calls `registerFunctions` with it;
// detach (reason 0): releases every registration, first to last, and frees
// the list. Every exception is caught, logged with this helper's location
// and turned into false. Other reasons, and detach without a list, do
// nothing and give false.
template <class FunctionT>
bool manageDllRegistations(unsigned long reason, Registrations*& list, FunctionT registerFunctions) {
    if (reason == 1) {
        try {
            list = new Registrations;
            registerFunctions(list);
            return true;
        } catch (...) {
            Debug::logException(registrationFailureLocation(__LINE__), "");
            return false;
        }
    }
    if (reason == 0 && list) {
        try {
            for (Registration& r : *list) r.release();
            delete list;
            list = nullptr;
            return true;
        } catch (...) {
            Debug::logException(registrationFailureLocation(__LINE__), "");
            return false;
        }
    }
    return false;
}

}  // namespace Core
