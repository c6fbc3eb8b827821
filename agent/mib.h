// What every MIB group shares: base OIDs, the init trace and registration,
// and the small steps of the old-API handler contract.
#ifndef CORVANTIS_AGENT_MIB_H
#define CORVANTIS_AGENT_MIB_H

#include "agent/netsnmp.h"

#include <cstddef>

// 1.3.6.1.4.1.47391.1: every group's base OID is this plus one number.
inline constexpr oid MIB_ROOT[] = {1, 3, 6, 1, 4, 1, 47391, 1};
inline constexpr size_t MIB_BASE_LEN = 9;

// The debug trace every init emits while net-snmp debugging is on:
// "trace" with "<func>(): <file>, <line>:" then <token> with <text>.
void mib_trace(const char *func, const char *file, int line, const char *token,
               const char *format, ...) __attribute__((format(printf, 5, 6)));

// register_mib() of one group's variable table under its base OID; a
// failure only leaves a debug trace.  Returns net-snmp's result.
int mib_register_group(const char *name, const struct variable4 *vars, size_t count,
                       const oid *base, const char *func, const char *file, int line);

template <size_t N>
int mib_register(const char *name, const struct variable4 (&vars)[N], const oid *base,
                 const char *func, const char *file, int line)
{
    return mib_register_group(name, vars, N, base, func, file, line);
}

// True when the entries' suffixes strictly ascend, as net-snmp requires
// for GETNEXT to walk the table in order.
bool mib_table_in_order(const struct variable4 *vars, size_t count);

// The row index: the last number of the completed instance OID.
inline long mib_row_index(const oid *name, size_t length)
{
    return length > 0 ? static_cast<long>(name[length - 1]) : 0;
}

// Handler step for scalars: completes the instance OID (GETNEXT), sets
// the value length to a long and the write method to none.  False when the
// request does not fall on this scalar.
bool mib_scalar(struct variable *vp, oid *name, size_t *length, int exact, size_t *var_len,
                WriteMethod **write_method);

// Handler step for tables: 0 when the table has no rows or the request
// falls outside rows 1..rows, else the row index of the completed OID.
long mib_table_row(struct variable *vp, oid *name, size_t *length, int exact, size_t *var_len,
                   WriteMethod **write_method, int rows);

// Return helpers for handlers: an INTEGER through the group's static word
// (the length header_* set stands), an OCTET STRING with its length.
inline u_char *mib_integer(long &slot, long value)
{
    slot = value;
    return reinterpret_cast<u_char *>(&slot);
}
// Gauge32 and Unsigned32 (one wire type) as net-snmp reads them: a u_long.
inline u_char *mib_unsigned(u_long &slot, u_long value)
{
    slot = value;
    return reinterpret_cast<u_char *>(&slot);
}
u_char *mib_text(const char *text, size_t *var_len);

// For a column whose cells may hold no value: a GETNEXT that lands on a
// row without one moves on to the next row that has one, so a walk goes on
// down the column instead of leaving it at the gap.  0 when no such row is
// left, and for a GET of a row without a value.
template <typename HasValue>
long mib_row_with_value(struct variable *vp, oid *name, size_t *length, int exact,
                        size_t *var_len, WriteMethod **write_method, int rows, long index,
                        HasValue has_value)
{
    while (index && !has_value(index)) {
        if (exact)
            return 0;
        index = mib_table_row(vp, name, length, 0, var_len, write_method, rows);
    }
    return index;
}

// Unknown magic: the detail text and no value.
inline u_char *mib_unknown(const char *detail)
{
    snmp_set_detail(detail);
    return nullptr;
}

// OID printing utilities.
int sprint_oid(char *buf, const oid *name, int len);
void print_oid(const oid *name, int len);

#endif
