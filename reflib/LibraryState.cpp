#include "reflib/LibraryState.h"

#include <memory>
#include <new>

namespace velmar::reflib
{

CLibraryState& State()
{
    // Built on first use and deliberately never destroyed: at process exit web server threads may
    // still exist, and joining them from the loader's detach notification would dead-lock. The
    // system reclaims the memory and sockets with the process.
    alignas(CLibraryState) static unsigned char storage[sizeof(CLibraryState)];
    static CLibraryState* const state = std::construct_at(reinterpret_cast<CLibraryState*>(storage));
    return *state;
}
} // namespace velmar::reflib
