// Helpers shared by the disk group's tests: reports from text, a clean
// group state, and requests through the group's own variable table.
#ifndef CORVANTIS_TESTS_DISK_TEST_UTIL_H
#define CORVANTIS_TESTS_DISK_TEST_UTIL_H

#include "agent/agent.h"
#include "agent/mib.h"
#include "../unit/mib_request.h"
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

inline std::optional<struct variable> disk_entry(std::initializer_list<oid> suffix)
{
    return group_entry(diskGroup_variables, 5, suffix);
}

// A GET of suffix.instance (an instance of 0 for scalars).
inline Answer disk_get(std::initializer_list<oid> suffix, oid instance)
{
    return group_get(disk_entry(suffix), instance);
}

#endif
