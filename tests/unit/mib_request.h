// Requests to a group's handlers as net-snmp makes them, for the tests.
#ifndef CORVANTIS_TESTS_MIB_REQUEST_H
#define CORVANTIS_TESTS_MIB_REQUEST_H

#include "agent/mib.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>

// One answer of a handler: nothing, an integer or a text, and the detail
// text it set.
struct Answer {
    bool has = false;
    long integer = 0;
    std::string text;
    std::string detail;
    // The last number of the OID answered: the row a GETNEXT landed on.
    oid row = 0;
};

// The group's registered entry for an OID suffix, with the full OID in its
// name as net-snmp passes it.
template <size_t N>
std::optional<struct variable> group_entry(const struct variable4 (&vars)[N], oid group,
                                           std::initializer_list<oid> suffix)
{
    for (const auto &v : vars) {
        if (v.namelen != suffix.size() || !std::equal(suffix.begin(), suffix.end(), v.name))
            continue;
        struct variable vp = {};
        vp.magic = v.magic;
        vp.type = v.type;
        vp.acl = v.acl;
        vp.findVar = v.findVar;
        size_t n = 0;
        for (oid part : MIB_ROOT)
            vp.name[n++] = part;
        vp.name[n++] = group;
        for (oid part : suffix)
            vp.name[n++] = part;
        vp.namelen = static_cast<u_char>(n);
        return vp;
    }
    return std::nullopt;
}

// A GET of the entry's instance (0 for scalars); with exact 0 a GETNEXT
// from it.
inline Answer group_get(std::optional<struct variable> vp, oid instance, int exact = 1)
{
    Answer answer;
    if (!vp)
        return answer;
    oid name[MAX_OID_LEN];
    size_t length = vp->namelen;
    std::memcpy(name, vp->name, length * sizeof(oid));
    name[length++] = instance;
    size_t var_len = 0;
    WriteMethod *write = nullptr;
    u_char *value = vp->findVar(&*vp, name, &length, exact, &var_len, &write);
    // snmp_api_errstring reports and clears the detail text.
    std::string err = snmp_api_errstring(SNMPERR_GENERR);
    auto open = err.find(" (");
    if (open != std::string::npos)
        answer.detail = err.substr(open + 2, err.size() - open - 3);
    if (!value)
        return answer;
    answer.has = true;
    answer.row = name[length - 1];
    if (vp->type == ASN_INTEGER)
        answer.integer = *reinterpret_cast<long *>(value);
    else if (vp->type == ASN_UNSIGNED)
        answer.integer = static_cast<long>(*reinterpret_cast<u_long *>(value));
    else
        answer.text.assign(reinterpret_cast<char *>(value), var_len);
    return answer;
}

#endif
