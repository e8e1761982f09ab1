/* A stand-in for the outside slave library: its two entry points as the service calls them,
   plus what the tests read back. A protocol word ending in 'X' stands for a line the library
   cannot serve (InitThread returns 0). */
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#define EXPORT __attribute__((visibility("default")))

static uint16_t last_word[64];
static int32_t live;

EXPORT void* InitThread(int32_t com_number, const uint16_t* protocol, int32_t* status_record) {
    size_t n = 0;
    while (protocol != NULL && protocol[n] != 0 && n + 1 < sizeof last_word / sizeof last_word[0]) {
        last_word[n] = protocol[n];
        ++n;
    }
    last_word[n] = 0;
    if (n > 0 && last_word[n - 1] == 'X') return NULL;
    int32_t* handle = malloc(sizeof *handle);
    if (handle == NULL) return NULL;
    *handle = com_number;
    __atomic_add_fetch(&live, 1, __ATOMIC_SEQ_CST);
    if (status_record != NULL) __atomic_store_n(status_record, 0, __ATOMIC_SEQ_CST);
    return handle;
}

EXPORT void DeleteThread(void* handle) {
    if (handle == NULL) return;
    __atomic_sub_fetch(&live, 1, __ATOMIC_SEQ_CST);
    free(handle);
}

EXPORT const uint16_t* FakeSlaveLastWord(void) {
    return last_word;
}

EXPORT int32_t FakeSlaveLive(void) {
    return __atomic_load_n(&live, __ATOMIC_SEQ_CST);
}
