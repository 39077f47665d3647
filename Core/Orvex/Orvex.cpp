#include "Core/Orvex/Orvex.h"

#include <dlfcn.h>

#include "Core/Orvex/Stripper.h"
#include "Core/registration/manageDllRegistations.h"

namespace {

// The library's announcements to the loader; null while not attached.
Core::Registrations* g_registrations = nullptr;

void announceModuleFunction(Core::Registrations* list) {
    Core::InitializeModuleFunction function(Core::SrcInfo{__LINE__, __FILE__, "registerObjects", 0},
                                            &Orvex::registerObjects);
    Core::ModuleEntry* handle = Core::registerInitializeModuleFunction(function);
    list->emplace_back(handle, Core::SrcInfo{0, nullptr, nullptr, 0});
}

void* moduleInstance() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&DllEntryPoint), &info) && info.dli_fbase) return info.dli_fbase;
    return nullptr;
}

__attribute__((constructor)) void onLoad() { DllEntryPoint(moduleInstance(), Orvex::kProcessAttach, nullptr); }
__attribute__((destructor)) void onUnload() { DllEntryPoint(moduleInstance(), Orvex::kProcessDetach, nullptr); }

}  // namespace

namespace Orvex {

void registerObjects() { registerStrippers(); }

}  // namespace Orvex

extern "C" int DllEntryPoint(void* instance, unsigned long reason, void*) {
    Core::Debug::logDllEntryPoint(instance, static_cast<int>(reason),
                                  Core::SrcInfo{__LINE__, __FILE__, "DllEntryPoint", 0});
    return Core::manageDllRegistations(reason, g_registrations, &announceModuleFunction) ? 1 : 0;
}
