// SPDX-License-Identifier: MIT
// The shared library's own translation unit: everything it exports comes from
// the vrelay_client archive, linked whole.
#include <vrelay/vrelay.h>

#ifdef _WIN32
#include <windows.h>

#include "client/handles.h"

// A DLL is detached at the process's end (reserved not null) only after
// Windows has stopped every other thread; a FreeLibrary (reserved null)
// leaves them running, and the exit handling stops what they started.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved != nullptr) {
        vrelay::OtherThreadsAreGone();
    }
    return TRUE;
}
#endif
