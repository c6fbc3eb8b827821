// Loads a MIB module with npm net-snmp's parser and prints, as JSON, the
// OID of each of the module's OBJECT-TYPEs by name, and the OID and
// OBJECTS of each NOTIFICATION-TYPE.
// Usage: node net_snmp_load.cjs <net-snmp package dir> <module file> <module name>
"use strict";
const [packageDir, file, moduleName] = process.argv.slice(2);
const snmp = require(packageDir);

const store = snmp.createModuleStore();
store.loadFromFile(file);
const mib = store.getModule(moduleName);
if (!mib) {
    console.error(`${file}: no module ${moduleName}`);
    process.exit(1);
}
const objects = {};
const notifications = {};
for (const [name, entry] of Object.entries(mib)) {
    if (entry && entry.MACRO === "OBJECT-TYPE")
        objects[name] = entry.OID;
    else if (entry && entry.MACRO === "NOTIFICATION-TYPE")
        notifications[name] = {oid: entry.OID, objects: entry.OBJECTS || []};
}
process.stdout.write(JSON.stringify({objects, notifications}) + "\n");
