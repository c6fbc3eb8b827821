// System management information group (systemManagementInfoGroup, .1.6).
#ifndef CORVANTIS_GROUPS_MGTINFOGROUP_H
#define CORVANTIS_GROUPS_MGTINFOGROUP_H

#include "agent/netsnmp.h"

#include <cstdio>

struct mgt_info {
    char fw_version[36];
    char os_release[80];
    char ip_source[16];
    unsigned char bmc_mac[6];
    unsigned char gateway_mac[6];
    char lan_port[16];
    char mem_total[16];
    char mem_free[16];
    char mem_used[16];
    char cpu_used[20];
    char mfg_date[80];
    int done_log_level;
    // The numbers the memory and CPU texts are made from, while the last
    // measurement gave them: megabytes, and hundredths of a percent.
    bool has_mem_mb;
    long mem_total_mb;
    long mem_used_mb;
    long mem_free_mb;
    bool has_cpu_hundredths;
    long cpu_hundredths;
};

extern char g_asset_id[80];
extern char g_hostname[80];
extern int g_mgt_intf_found;
extern int g_mgt_intf_full;
extern unsigned char bmc_ip[4];
extern unsigned char bmc_netmask[4];
extern unsigned char bmc_gateway[4];
extern struct mgt_info mgt_info;

extern struct variable4 systemManagementInfoGroup_variables[22];
extern struct variable4 systemManagementInfoGroup_variables1[13];

int init_mgtInfoGroup();
int discover_mgtInfo();
void close_mgtInfoGroup();
u_char *var_systemManagementInfoGroup(struct variable *vp, oid *name, size_t *length, int exact,
                                      size_t *var_len, WriteMethod **write_method);

int get_mem_info();
int get_cpu_info();
int get_ipmi_mfg_date();
int get_ipmi_lan_config(int param, unsigned char *buf);
int get_smc_lan_port(char *out);
// Copies the printable run of src (which must hold at least n bytes) into
// dst (n + 1 bytes), skipping a leading blank or control run.
void cpstr(char *dst, const char *src, int n);

// Pieces of discovery with no I/O of their own, shared with the tests.
const char *ip_source_text(unsigned char source);
const char *lan_port_text(unsigned char port);
void parse_meminfo(FILE *file, long *total_kb, long *free_kb);
void read_asset_tag(const char *path);
// The awk program that turns mpstat's report into the CPU use in percent.
const char *cpu_idle_awk();
// The CPU use that awk program printed, in hundredths of a percent; false
// for a text that is no such number (nothing printed, say).
bool cpu_hundredths_of(const char *text, long *hundredths);
// Steps of the gateway MAC read; the reader is get_ipmi_lan_config.
int read_gateway_mac(int (*read_param)(int param, unsigned char *buf));

#endif
