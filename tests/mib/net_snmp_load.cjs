// Loads a MIB module with npm net-snmp's parser and prints, as JSON, the
// OID of each of the module's OBJECT-TYPEs by name.
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
const oids = {};
for (const [name, entry] of Object.entries(mib)) {
    if (entry && entry.MACRO === "OBJECT-TYPE")
        oids[name] = entry.OID;
}
process.stdout.write(JSON.stringify(oids) + "\n");
