// Prints the FRU date command for a host, user and password given as
// arguments, as the agent would run it.
#include "ipmi/ipmi.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s HOST USER PASSWORD\n", argv[0]);
        return 2;
    }
    bmc::set_connection(argv[1], argv[2], argv[3], "");
    std::printf("%s\n", bmc::fru_command().c_str());
    return 0;
}
