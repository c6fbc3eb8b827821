// IPMI sensor group (sensorGroup, .1.4): fans, temperatures and voltages
// from the BMC's sensor data records, read per request, and the BMC's
// system event log mirrored as a table.
//
// Threads: the main thread starts and closes the group and runs the
// handlers (the reading column asks the BMC); the refresh thread runs
// discover_sensors().  The sensor rows and their counts are guarded by one
// lock, the event log table and its count by another; both are built aside
// and swapped in whole, so a handler never sees them half-built or freed.
// A discovery and close_sensors() exclude each other.  Every IPMI command
// goes through the IPMI layer's own lock.
#ifndef CORVANTIS_GROUPS_IPMIGROUP_H
#define CORVANTIS_GROUPS_IPMIGROUP_H

#include "agent/netsnmp.h"
#include "ipmi/ipmi.h"

#include <atomic>
#include <cstdint>

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
    uint8_t status;        // 0..7
    double reading;        // last converted reading
    double thresholds[6];  // UNR, UC, UNC, LNR, LC, LNC
    char unit[21];
    char name[21];
};

struct sel_rec {
    uint32_t index; // 1 = the oldest entry read; 0 for a row left unfilled
    char text[120];
};

extern const char *sensor_status_names[9];

// Group state.  The flags are atomic (both threads read them); sdrlist is
// set by a discovery and freed by close_sensors().  The rows and counts
// are guarded by g_sensor_lock, the event log table by g_sel_lock: tests
// that run threads read them through the handlers.
extern std::atomic<int> g_ipmi_intf_found;
extern std::atomic<int> g_sdr_walk_needed;
extern std::atomic<bmc::SdrCache *> sdrlist;
extern int n_sdrs;
extern sensor_info *g_sensor_info;
extern int g_fan_instances;
extern int g_temperature_instances;
extern int g_voltage_instances;
extern int n_selrecs;
extern sel_rec *g_sel_recs;
extern std::atomic<int> g_sel_eof_level;
extern int g_logged_selrecs;

extern struct variable4 sensorGroup_variables[30];

int init_sensorGroup();
int ipmi_support();
int discover_sensors();
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
