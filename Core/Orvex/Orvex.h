// The library's entry: start-up and shutdown.
//
// Loading the library runs the static registrations of the transformer units
// (range fixer, reference fixer, strippers) and then DllEntryPoint with the
// process-attach reason, which announces registerObjects to the host's module
// loader; unloading calls DllEntryPoint with the process-detach reason, which
// releases that announcement, and then the static finalisers unregister the
// transformers and destroy the registry. On Linux the shared object's own
// load and unload hooks make the two DllEntryPoint calls.
//
// A failed attach cannot make the dynamic loader refuse the library as the
// reason codes suggest: it is logged through the host's debug log, and the
// library stays loaded with its transformers registered but without the
// module function announced.
#pragma once

namespace Orvex {

// Entry-point reasons.
enum EntryReason : unsigned long {
    kProcessDetach = 0,
    kProcessAttach = 1,
    kThreadAttach = 2,
    kThreadDetach = 3,
};

// Called by the loader to initialise the module: makes sure every strip
// creator is registered (each exactly once, whatever ran first).
void registerObjects();

}  // namespace Orvex

// Logs the call, then registers (reason 1) or releases (reason 0) the
// module function with the host's loader. Returns 1 on success, else 0.
extern "C" int DllEntryPoint(void* instance, unsigned long reason, void* reserved);
