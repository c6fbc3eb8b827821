#include "agent/mib.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

void mib_trace(const char *func, const char *file, int line, const char *token,
               const char *format, ...)
{
    if (!snmp_get_do_debugging())
        return;
    debugmsgtoken("trace", "%s(): %s, %d:\n", func, file, line);
    debugmsg("trace", "%s(): %s, %d:\n", func, file, line);

    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    debugmsgtoken(token, "%s", text);
    debugmsg(token, "%s", text);
}

int mib_register_group(const char *name, const struct variable4 *vars, size_t count,
                       const oid *base, const char *func, const char *file, int line)
{
    // register_mib() takes the generic variable type; variable4 is the same
    // layout with a four-number name.
    int rc = register_mib(name, reinterpret_cast<const struct variable *>(vars),
                          sizeof(struct variable4), count, base, MIB_BASE_LEN);
    if (rc != MIB_REGISTERED_OK)
        mib_trace(func, file, line, "register_mib", "%s registration failed\n", name);
    return rc;
}

bool mib_table_in_order(const struct variable4 *vars, size_t count)
{
    for (size_t i = 1; i < count; i++) {
        if (snmp_oid_compare(vars[i - 1].name, vars[i - 1].namelen, vars[i].name,
                             vars[i].namelen) >= 0)
            return false;
    }
    return true;
}

bool mib_scalar(struct variable *vp, oid *name, size_t *length, int exact, size_t *var_len,
                WriteMethod **write_method)
{
    return header_generic(vp, name, length, exact, var_len, write_method) != MATCH_FAILED;
}

long mib_table_row(struct variable *vp, oid *name, size_t *length, int exact, size_t *var_len,
                   WriteMethod **write_method, int rows)
{
    if (rows <= 0)
        return 0;
    if (header_simple_table(vp, name, length, exact, var_len, write_method, rows) == MATCH_FAILED)
        return 0;
    return mib_row_index(name, *length);
}

u_char *mib_text(const char *text, size_t *var_len)
{
    *var_len = strlen(text);
    return reinterpret_cast<u_char *>(const_cast<char *>(text));
}

int sprint_oid(char *buf, const oid *name, int len)
{
    if (!buf || len < 0)
        return 0;
    buf[0] = '\0';
    if (!name)
        return 0;
    int written = 0;
    int count = len < 128 ? len : 128;
    for (int i = 0; i < count; i++)
        written += sprintf(buf + written, i == 0 ? "%d" : ".%d", static_cast<int>(name[i]));
    return written;
}

void print_oid(const oid *name, int len)
{
    if (!name)
        return;
    fputs("OID: ", stderr);
    for (int i = 0; i < len; i++)
        fprintf(stderr, " %ld", static_cast<long>(name[i]));
    fputc('\n', stderr);
}
