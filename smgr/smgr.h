/*
 * smgr: the storage reservation manager.
 *
 * Programs that write backups to the appliance's disk-to-disk (D2D) devices
 * register a key on a device, reserve the bytes they expect to write, draw
 * on the reservation before each write and confirm what they wrote, so that
 * concurrent writers do not overrun a device.  The whole state lives in
 * System V shared memory and semaphores that the device monitor
 * (/usr/kx/bin/devmonitor) creates and keeps current; smgr only attaches to
 * them.  Database reads go through kxext (KXDB_CONNINFO).
 *
 * C ABI.  Link with -lsmgr (shared) or the static libsmgr.a plus kxext.
 */
#ifndef SMGR_SMGR_H
#define SMGR_SMGR_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#define SMGR_STATIC_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define SMGR_STATIC_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* ---- IPC objects owned by the device monitor ---------------------------- */

#define SMGR_FTOK_PATH "/usr/kx/bin/devmonitor"
#define SMGR_RESERVATION_PROJ 'R'     /* reservation table, shared memory */
#define SMGR_DEVICE_PROJ 'D'          /* device table, shared memory */
#define SMGR_RESERVATION_SEM_PROJ 'F' /* reservation semaphores, one set */
#define SMGR_DEVICE_SEM_KEY 0x64000000 /* device semaphore key: device | this */
#define SMGR_IPC_MODE 0666

#define SMGR_MAX_RESERVATIONS 512
/* Keys 1..511 are refused: key 0 asks for index + 1. */
#define SMGR_RESERVED_KEY_MAX 511
#define SMGR_DEVICE_NAME_SIZE 34

/* smgr_avail flags */
#define SMGR_AVAIL_PARTIAL 0 /* grant what is left now, possibly 0 */
#define SMGR_AVAIL_WAIT 1    /* wait until the whole size can be granted */

/* One reservation entry; the table is SMGR_MAX_RESERVATIONS of them.
 * Little-endian, as the device monitor lays it. */
typedef struct smgr_reservation {
    int32_t reservation_key; /* registration key */
    int32_t devices_id;      /* device number the key is registered on */
    uint64_t reservation;    /* bytes reserved and not yet drawn */
    uint64_t availed;        /* bytes drawn and not yet confirmed */
    int32_t last_update;     /* seconds since the epoch */
    int32_t used;            /* 1 while the entry holds a registration */
} smgr_reservation;

/* One device entry.  free_space sits at offset 36, so the entry is packed;
 * the monitor_* bytes are the device monitor's and never touched here. */
typedef struct __attribute__((packed)) smgr_device {
    uint16_t device_id;
    char device_name[SMGR_DEVICE_NAME_SIZE]; /* terminated, trace lines only */
    uint64_t free_space;                     /* written by the monitor only */
    uint8_t monitor_44[12];
    uint64_t reserve_space; /* sum of the device's reservations */
    uint64_t avail_space;   /* sum of the device's availed amounts */
    uint8_t monitor_72[8];
} smgr_device;

/* Device table header; num_devices entries follow at offset 8. */
typedef struct smgr_device_table {
    int32_t monitor_word; /* the device monitor's */
    int32_t num_devices;
} smgr_device_table;

#define SMGR_DEVICE_TABLE_ENTRIES(table) \
    ((smgr_device *)((char *)(table) + sizeof(smgr_device_table)))

SMGR_STATIC_ASSERT(sizeof(smgr_reservation) == 32, "reservation entry is 32 bytes");
SMGR_STATIC_ASSERT(offsetof(smgr_reservation, reservation_key) == 0, "reservation_key at 0");
SMGR_STATIC_ASSERT(offsetof(smgr_reservation, devices_id) == 4, "devices_id at 4");
SMGR_STATIC_ASSERT(offsetof(smgr_reservation, reservation) == 8, "reservation at 8");
SMGR_STATIC_ASSERT(offsetof(smgr_reservation, availed) == 16, "availed at 16");
SMGR_STATIC_ASSERT(offsetof(smgr_reservation, last_update) == 24, "last_update at 24");
SMGR_STATIC_ASSERT(offsetof(smgr_reservation, used) == 28, "used at 28");
SMGR_STATIC_ASSERT(sizeof(smgr_device) == 80, "device entry is 80 bytes");
SMGR_STATIC_ASSERT(offsetof(smgr_device, device_id) == 0, "device_id at 0");
SMGR_STATIC_ASSERT(offsetof(smgr_device, device_name) == 2, "device name at 2");
SMGR_STATIC_ASSERT(offsetof(smgr_device, free_space) == 36, "free_space at 36");
SMGR_STATIC_ASSERT(offsetof(smgr_device, monitor_44) == 44, "monitor bytes at 44");
SMGR_STATIC_ASSERT(offsetof(smgr_device, reserve_space) == 56, "reserve_space at 56");
SMGR_STATIC_ASSERT(offsetof(smgr_device, avail_space) == 64, "avail_space at 64");
SMGR_STATIC_ASSERT(offsetof(smgr_device, monitor_72) == 72, "monitor bytes at 72");
SMGR_STATIC_ASSERT(sizeof(smgr_device_table) == 8, "device table header is 8 bytes");
SMGR_STATIC_ASSERT(offsetof(smgr_device_table, num_devices) == 4, "num_devices at 4");
SMGR_STATIC_ASSERT(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
                   "the shared layouts are little-endian");

/* ---- Result codes (see smgr_error) -------------------------------------- */

#define SMGR_OK 0
#define ESMGR (-1)  /* store not found, semaphore or detach failure */
#define EOVER (-2)  /* reservation exceeds the device */
#define ELIMIT (-3) /* reservation table full */
#define ENREG (-4)  /* no such registration */
#define EWRF (-5)
#define EARG (-6)
#define ENDEV (-7) /* no such D2D device */
#define EWDF (-8)
#define EXRR (-9)
#define EXWR (-10)  /* avail above the reservation */
#define EXIST (-11) /* reserved key 1..511 */

/* ---- Reservation operations --------------------------------------------- */

/* Registers key (0: let smgr choose) on a D2D device: the key, or a code. */
int smgr_register(int32_t reg_key, int32_t device_no);
/* Sets the key's reservation to size bytes (replacing the old one). */
int smgr_reserve(int32_t reg_key, uint64_t size);
/* Draws up to size bytes from the reservation: the bytes granted (0 up to
 * size, so up to 2^32 - 1), or a negative code.  flg 0 grants what is left
 * now; flg 1 waits until the whole size fits. */
int64_t smgr_avail(int32_t reg_key, uint32_t size, int32_t flg);
/* Confirms size bytes written (0, or more than drawn: all drawn bytes). */
int smgr_confirm(int32_t reg_key, uint32_t size);
/* Device number and current reservation of a key; null outs are skipped. */
int smgr_get(int32_t reg_key, int32_t *device_no, uint64_t *size);
/* Frees the key's entry and takes its amounts off the device. */
int smgr_unregister(int32_t reg_key);
/* Text of a result code; never null. */
const char *smgr_error(int code);

/* ---- Store functions ---------------------------------------------------- */

int get_reservation_shmid(void);
int get_device_shmid(void);
int get_reservation_semid(void);
int get_device_semid(int32_t device_no);

smgr_reservation *attach_reservations(void);
int deattach_reservations(smgr_reservation *reservations);
smgr_device_table *attach_devices(void);
int deattach_devices(smgr_device_table *devices);

/* Index 0..511 of the used entry holding key, or -1. */
int key_to_index(const smgr_reservation *reservations, int32_t key);
/* Index of the first entry with that device number, or -1. */
int device_to_index(const smgr_device *devices, int32_t num_devices, int32_t device_no);
/* Index of the first free entry, or -1 when all are used. */
int get_free_index(const smgr_reservation *reservations);

/* One -1 (blocking) or +1 on any semaphore, without undo. */
int sem_accquire(int semid, int semnum);
int sem_release(int semid, int semnum);
/* A device's semaphore, taken and given back with undo, so that the kernel
 * gives it back for a holder that dies (use the two as a pair), and waited
 * for at most 30 s: then -1. */
int accquire_dev_entry_sem(int32_t device_no);
int release_dev_entry_sem(int32_t device_no);
int accquire_reservation_sem(int index);
int release_reservation_sem(int index);

#ifdef __cplusplus
}
#endif

#endif
