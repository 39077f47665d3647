// Orvex::libraryVersion and libraryVersionNumber (declared in the generated
// orvex/version.h): compiled into the library, so they tell the version it
// was built as, whatever header a program was compiled with.
#include "orvex/version.h"

namespace Orvex {

const char* libraryVersion() { return ORVEX_VERSION_STRING; }

long libraryVersionNumber() { return ORVEX_VERSION_NUMBER; }

}  // namespace Orvex
