// net-snmp's agent headers in the order they need (the util_funcs headers
// are not self-contained).
#ifndef CORVANTIS_AGENT_NETSNMP_H
#define CORVANTIS_AGENT_NETSNMP_H

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/util_funcs/header_generic.h>
#include <net-snmp/agent/util_funcs/header_simple_table.h>

#endif
