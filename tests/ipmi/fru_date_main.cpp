// Reads the board's manufacturing date as the agent does: the BMC's
// settings from a configuration file, then get_ipmi_mfg_date (the FRU
// command through the command capture).  The password never passes
// through this program's arguments.  Prints "rv=<result> date=[<text>]".
#include "agent/agent.h"
#include "agent/text.h"
#include "groups/mgtInfoGroup.h"
#include "ipmi/ipmi.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s CONFIG_FILE LOG_FILE\n", argv[0]);
        return 2;
    }
    copy_text(g_log_file, argv[2]);
    g_verbose = 4;
    if (read_config_file(argv[1]) != 0) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[1]);
        return 2;
    }
    log_config_warnings();
    bmc::set_connection(g_ipmi_host, g_ipmi_user, g_ipmi_password, g_ipmi_workaround);
    int rv = get_ipmi_mfg_date();
    std::printf("rv=%d date=[%s]\n", rv, mgt_info.mfg_date);
    return 0;
}
