#include "agent/platform.h"

#include "agent/agent.h"
#include "agent/capture.h"
#include "agent/salog.h"

#include <cstdio>
#include <cstring>
#include <memory>

char g_platform_id[80] = "QPX";
int g_thresh_found = 0;

int get_platform_id()
{
    CommandCapture capture("/tmp/snmp-nm.tmp");
    char command[256];
    snprintf(command, sizeof command,
             "dmidecode |grep 'Product Name:' |tail -n1 |cut -f2 -d':' >%s", capture.path());
    // No product name simply leaves the default id, so the status is not
    // needed; the firmware tables are read at once, 10 s is ample.
    (void)capture.run(command, std::chrono::seconds(10));

    FILE *file = capture.open();
    if (!file) {
        sa_log(4, "get_platform_id() fnm=%s fd=%p id=%s\n", capture.path(),
               static_cast<void *>(nullptr), g_platform_id);
        return 0;
    }

    char line[16];
    if (fgets(line, sizeof line, file)) {
        const char *start = line;
        while (*start == ' ')
            start++;
        line[strcspn(line, "\n")] = '\0';
        snprintf(g_platform_id, 16, "%s", start);
    }
    capture.finish();
    sa_log(4, "get_platform_id() fnm=%s fd=%p id=%s\n", capture.path(), static_cast<void *>(file),
           g_platform_id);
    return 0;
}

int set_threshold(unsigned id, int value1, int value2)
{
    if (g_verbose)
        printf("set_threshold(%x,%d,%d) found=%d\n", id, value1, value2, 0);
    return -1;
}

int get_thresh_data(const char *path)
{
    if (!path)
        return -3;

    std::unique_ptr<FILE, int (*)(FILE *)> file(fopen(path, "r"), fclose);
    if (g_verbose)
        printf("get_thresh_data(%s) fd=%p\n", path, static_cast<void *>(file.get()));
    if (!file)
        return g_thresh_found ? 0 : 1;

    int rv;
    for (;;) {
        unsigned id = 0;
        int value1 = 0, value2 = 0;
        rv = fscanf(file.get(), "%x %d %d", &id, &value1, &value2);
        if (rv == 3) {
            if (set_threshold(id, value1, value2) == 0)
                g_thresh_found = 1;
            continue;
        }
        if (g_verbose)
            printf("fscanf() rv=%d\n", rv);
        if (rv <= 0)
            break;
    }
    return g_thresh_found ? 0 : rv;
}

int bios_version_from(const char *path, char *buf)
{
    if (!buf)
        return -1;
    buf[0] = '\0';
    if (!path)
        return -1;
    FILE *f = fopen(path, "r");
    if (!f)
        return -2;
    char text[256];
    size_t n = fread(text, 1, sizeof text - 1, f);
    fclose(f);
    text[n] = '\0';
    // The kernel ends the value with a newline; keep the first line only.
    text[strcspn(text, "\r\n")] = '\0';
    n = strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t'))
        text[--n] = '\0';
    if (n == 0)
        return -2;
    if (n > 63)
        n = 63;
    memcpy(buf, text, n);
    buf[n] = '\0';
    return 0;
}

int get_BiosVersion(char *buf)
{
    return bios_version_from("/sys/class/dmi/id/bios_version", buf);
}
