#include "groups/kxlGroup.h"

#include "kxext/kxext.h"

int check_kxdb_interface()
{
    if (pgOpen(1) == 0) {
        pgClose();
        return 1;
    }
    return 0;
}
