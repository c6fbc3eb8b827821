// Helpers shared by the disk group's tests: reports from text, a clean
// group state, and requests through the group's own variable table.
#ifndef CORVANTIS_TESTS_DISK_TEST_UTIL_H
#define CORVANTIS_TESTS_DISK_TEST_UTIL_H

#include "agent/agent.h"
#include "agent/mib.h"
#include "groups/diskGroup.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

inline std::string fixture(const std::string &name)
{
    std::ifstream in(std::string(DISK_FIXTURE_DIR) + "/" + name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs both passes over a report given as text.
inline int parse_text(const std::string &text)
{
    FILE *file = tmpfile();
    if (!file)
        return -100;
    fwrite(text.data(), 1, text.size(), file);
    rewind(file);
    int rv = parse_disk_report(file);
    fclose(file);
    return rv;
}

// Empty tables with zero counts and the flags of a fresh start.
inline void reset_disk_group()
{
    parse_text("");
    close_diskGroup();
    g_disk_new_format = 0;
    g_disk_first_pass = 1;
    g_disk_detail_level = 2;
    g_disk_intf_found = 1;
}

// One answer of a handler: nothing, an integer or a text.
struct Answer {
    bool has = false;
    long integer = 0;
    std::string text;
    std::string detail;
};

// The group's registered entry for an OID suffix, as net-snmp passes it.
inline std::optional<struct variable> disk_entry(std::initializer_list<oid> suffix)
{
    for (const auto &v : diskGroup_variables) {
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
        vp.name[n++] = 5;
        for (oid part : suffix)
            vp.name[n++] = part;
        vp.namelen = static_cast<u_char>(n);
        return vp;
    }
    return std::nullopt;
}

// A GET of suffix.instance (an instance of 0 for scalars).
inline Answer disk_get(std::initializer_list<oid> suffix, oid instance)
{
    Answer answer;
    auto vp = disk_entry(suffix);
    if (!vp)
        return answer;
    oid name[MAX_OID_LEN];
    size_t length = vp->namelen;
    memcpy(name, vp->name, length * sizeof(oid));
    name[length++] = instance;
    size_t var_len = 0;
    WriteMethod *write = nullptr;
    u_char *value = vp->findVar(&*vp, name, &length, 1, &var_len, &write);
    // snmp_api_errstring reports and clears the detail text.
    std::string err = snmp_api_errstring(SNMPERR_GENERR);
    auto open = err.find(" (");
    if (open != std::string::npos)
        answer.detail = err.substr(open + 2, err.size() - open - 3);
    if (!value)
        return answer;
    answer.has = true;
    if (vp->type == ASN_INTEGER)
        answer.integer = *reinterpret_cast<long *>(value);
    else
        answer.text.assign(reinterpret_cast<char *>(value), var_len);
    return answer;
}

#endif
