/*
 * A C program of the kind that uses the reservation manager: includes
 * smgr.h, links libsmgr.so, and goes through one registration's life.
 * Run by smgr_ns.sh with a test device monitor listing device 2
 * (1 TiB in the database) with 1 MiB free.  Exit status 0 when every step
 * gave what it should.
 */
#include "smgr/smgr.h"

#include <stdio.h>
#include <string.h>

static int failures;

#define CHECK(cond)                                                     \
    do {                                                                \
        if (!(cond)) {                                                  \
            printf("smgr_c_caller: %s:%d: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                 \
        }                                                               \
    } while (0)

int main(void)
{
    int32_t device = 0;
    uint64_t size = 0;
    int key;
    smgr_device_table *table;
    smgr_device *entries;
    int d;

    /* The layouts as C sees them. */
    CHECK(sizeof(smgr_reservation) == 32);
    CHECK(sizeof(smgr_device) == 80);
    CHECK(offsetof(smgr_device, free_space) == 36);

    key = smgr_register(0, 2);
    CHECK(key == 1);
    CHECK(smgr_register(7, 2) == EXIST);
    CHECK(smgr_reserve(key, 3u * 1024 * 1024 * 1024) == 0);
    /* 1 MiB free: a partial grant, then the rest would have to wait. */
    CHECK(smgr_avail(key, 4u * 1024 * 1024, SMGR_AVAIL_PARTIAL) == 1024 * 1024);
    CHECK(smgr_avail(key, 10, 5) == ESMGR);
    CHECK(smgr_confirm(key, 0) == 0);
    CHECK(smgr_get(key, &device, &size) == 0);
    CHECK(device == 2);
    CHECK(size == 3ull * 1024 * 1024 * 1024 - 1024 * 1024);

    table = attach_devices();
    CHECK(table != NULL);
    if (table) {
        entries = SMGR_DEVICE_TABLE_ENTRIES(table);
        d = device_to_index(entries, table->num_devices, 2);
        CHECK(d >= 0);
        if (d >= 0) {
            CHECK(entries[d].reserve_space == size);
            CHECK(entries[d].avail_space == 0);
            CHECK(entries[d].free_space == 1024 * 1024);
        }
        CHECK(deattach_devices(table) == 0);
    }

    CHECK(smgr_unregister(key) == 0);
    CHECK(smgr_unregister(key) == ENREG);
    CHECK(strcmp(smgr_error(ENREG), "ENREG: Non-existing registration key.") == 0);
    CHECK(strcmp(smgr_error(-12), "Unknown error.") == 0);

    printf("smgr_c_caller: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
