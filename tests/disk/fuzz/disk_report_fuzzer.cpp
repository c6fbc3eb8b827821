// libFuzzer target: arbitrary bytes as a disk monitor report, through both
// passes, the table swap and the handlers.
#include "agent/agent.h"
#include "groups/diskGroup.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool once = [] {
        // No log file: every line would reopen it.
        g_log_file[0] = '\0';
        g_disk_intf_found = 1;
        return true;
    }();
    (void)once;

    // Either layout, whatever earlier inputs selected.
    g_disk_new_format = size > 0 && (data[0] & 1);
    FILE *report = tmpfile();
    if (!report)
        return 0;
    fwrite(data, 1, size, report);
    rewind(report);
    parse_disk_report(report);
    fclose(report);

    // Every column of every row through the handlers.
    const int disks = get_physdisk_instances(), volumes = get_volume_instances();
    for (const auto &v : diskGroup_variables) {
        struct variable vp = {};
        vp.magic = v.magic;
        vp.type = v.type;
        vp.findVar = v.findVar;
        oid base[] = {1, 3, 6, 1, 4, 1, 47391, 1, 5};
        memcpy(vp.name, base, sizeof base);
        memcpy(vp.name + 9, v.name, v.namelen * sizeof(oid));
        vp.namelen = static_cast<u_char>(9 + v.namelen);
        int rows = v.findVar == var_volumeProbeTable ? volumes : disks;
        for (int row = 0; row <= rows + 1 && row < 64; row++) {
            oid name[MAX_OID_LEN];
            memcpy(name, vp.name, vp.namelen * sizeof(oid));
            size_t length = vp.namelen;
            name[length++] = static_cast<oid>(row);
            size_t var_len = 0;
            WriteMethod *write = nullptr;
            u_char *value = v.findVar(&vp, name, &length, 1, &var_len, &write);
            if (value && v.type == ASN_OCTET_STR && memchr(value, 0, var_len + 1) == nullptr)
                __builtin_trap();
        }
    }

    // The word functions on the raw bytes as text.
    char text[600];
    size_t n = size < sizeof text - 1 ? size : sizeof text - 1;
    memcpy(text, data, n);
    text[n] = '\0';
    char word[64];
    int len;
    for (const char *p = text; *p;) {
        int used = cp_next_word(word, p, 1 + (*p & 31));
        if (used == 0)
            break;
        p += used;
    }
    get_next_word(text, &len);
    cp_trimmed(word, text, 40);
    return 0;
}
