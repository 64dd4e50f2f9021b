// block_writer - stands in for zel in the extension's tests: writes the known statistics
// block into zel's section through the platform layer's writer, as zel does, then holds it
// until told to go.
//
//   perfcounters_block_writer.exe READY_EVENT DONE_EVENT
//
// Sets the named event READY_EVENT once the block is written and waits (at most a minute)
// for DONE_EVENT before it unmaps the section and exits. Exits 1 when the section cannot
// be made.
#include <windows.h>

#include <cstdio>

#include "perfcounters/tests/known_block.h"
#include "platform/shared_memory.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s READY_EVENT DONE_EVENT\n", argv[0]);
        return 2;
    }
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
    HANDLE done = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (!ready || !done) {
        std::fprintf(stderr, "cannot open the events: error %lu\n", GetLastError());
        return 1;
    }
    SharedSection section;
    int error = 0;
    if (!platform_shm_create("Global\\Corvalinder Database Application Perfcounters", ZEL_STATS_SIZE,
                             &section, &error)) {
        std::fprintf(stderr, "cannot create the section: error %d\n", error);
        return 1;
    }
    fill_block(static_cast<StatsBlock*>(section.address));
    SetEvent(ready);
    DWORD waited = WaitForSingleObject(done, 60000);
    platform_shm_close(&section);
    return waited == WAIT_OBJECT_0 ? 0 : 1;
}
