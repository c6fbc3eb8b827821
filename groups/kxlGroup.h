// Backup appliance group (kxlGroup, .1.3).
#ifndef CORVANTIS_GROUPS_KXLGROUP_H
#define CORVANTIS_GROUPS_KXLGROUP_H

// Start-up's database check: 1 when the appliance database opens, else 0.
int check_kxdb_interface();

#endif
