// IPMI sensor group (sensorGroup, .1.4): fans, temperatures and voltages
// from the BMC's sensor data records, read by every refresh pass and per
// request, and the BMC's system event log mirrored as a table.
//
// Threads: the main thread starts and closes the group and runs the
// handlers; the refresh thread runs discover_sensors().  A discovery builds
// the sensor rows (with the SDR cache they came from, and a reading of
// every full record) and the event log table aside and publishes each
// whole; the handlers hold what is published while they answer, so they
// never see a table half-built or freed and a discovery never waits for
// them.  The reading column asks the BMC on the request through the IPMI
// layer's request path, which answers within bmc::kRequestBudget (else the
// reading counts as failed).
//
// Each discovery is one pass of the BMC's health row, and queues a
// notification for each probe row whose status changed since the previous
// pass and for each new critical or non-recoverable event log entry; the
// first pass after a walk only records what it found.
#ifndef CORVANTIS_GROUPS_IPMIGROUP_H
#define CORVANTIS_GROUPS_IPMIGROUP_H

#include "agent/netsnmp.h"
#include "agent/snapshot.h"
#include "ipmi/ipmi.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

// IPMI sensor type codes the tables show.
inline constexpr uint8_t SENSOR_TYPE_TEMPERATURE = 0x01;
inline constexpr uint8_t SENSOR_TYPE_VOLTAGE = 0x02;
inline constexpr uint8_t SENSOR_TYPE_FAN = 0x04;

// Status codes of a reading; the texts are sensor_status_names.
inline constexpr uint8_t SENSOR_STATUS_INIT = 7;

struct sensor_info {
    uint32_t index;     // 1, 2, ... over the full sensor records; 0 for others
    uint16_t record_id; // the SDR's record ID
    uint8_t sensor_num;
    uint8_t sensor_type;
    // The last reading taken: by the pass that built the table, then in the
    // published table by the reading column's handler (the main thread,
    // which alone reads it there).
    mutable uint8_t status; // 0..7
    mutable double reading; // converted
    double thresholds[6];   // UNR, UC, UNC, LNR, LC, LNC
    char unit[21];
    char name[21];
};

struct sel_rec {
    uint32_t index; // 1 = the oldest entry read; 0 for a row left unfilled
    char text[120];
};

extern const char *sensor_status_names[9];

// One SDR walk: a row per cached record (n_sdrs of them), in cache order,
// the counts per kind, and the cache the rows were read from.
struct sensor_tables {
    std::shared_ptr<const bmc::SdrCache> sdrlist;
    std::vector<sensor_info> rows; // g_sensor_info, n_sdrs rows
    int fan_instances = 0;
    int temperature_instances = 0;
    int voltage_instances = 0;
};

// The event log table: n_selrecs counted at its rebuild, and its rows
// (none when they could not be allocated; the count stands).
struct sel_tables {
    int n_selrecs = 0;
    std::vector<sel_rec> sel_recs;
};

// Published by discover_sensors(); nothing until the first walk, and again
// after close_sensors().  While none is published the walk is due.
extern published<sensor_tables> g_sensors;
extern published<sel_tables> g_event_log;

// Set by the start when an interface answered; read by both threads.
extern std::atomic<int> g_ipmi_intf_found;
// Discovery state, written only by discover_sensors() (at start, then on
// the refresh thread).
extern int g_sel_eof_level;
extern int g_logged_selrecs;

extern struct variable4 sensorGroup_variables[42];

int init_sensorGroup();
int ipmi_support();
int discover_sensors();
// 1 while no walk has been published (the walk is due), else 0.
int sdr_walk_needed();
int update_sensor_reading(int row);
void close_sensors();
int status_from_thresh_bits(unsigned char bits);

int get_sel_info(int *count_out);
int get_sel_entry(unsigned short record_id, unsigned short *next_out, unsigned char *record_out);
int get_sel_all(int count);

u_char *var_sensorGroup(struct variable *vp, oid *name, size_t *length, int exact,
                        size_t *var_len, WriteMethod **write_method);
u_char *var_coolingDeviceTable(struct variable *vp, oid *name, size_t *length, int exact,
                               size_t *var_len, WriteMethod **write_method);
u_char *var_temperatureProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                                  size_t *var_len, WriteMethod **write_method);
u_char *var_voltageProbeTable(struct variable *vp, oid *name, size_t *length, int exact,
                              size_t *var_len, WriteMethod **write_method);
u_char *var_eventLogTable(struct variable *vp, oid *name, size_t *length, int exact,
                          size_t *var_len, WriteMethod **write_method);

int get_fan_instances();
int get_temperature_instances();
int get_voltage_instances();

// The name of a full sensor record (at most 16 bytes from byte 48, as the
// record's total length allows; empty when the record is too short to
// hold one).  name holds 21 bytes.
void sensor_name_from_sdr(const unsigned char *sdr, char *name);

// The two SEL commands go through this call (bmc::ipmi_cmd by default).
// Tests replace it to play BMC answers that ipmi_sim cannot give; null
// restores the default.
using sel_command_fn = int (*)(unsigned short cmd, unsigned char *request, int request_len,
                               unsigned char *response, int *response_len,
                               unsigned char *completion_code, int debug);
void set_sel_command(sel_command_fn fn);

#endif
