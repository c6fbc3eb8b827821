-- Appliance database (kxdb): the tables the SNMP agent, the reservation
-- manager and the backup-status calls of libkxext read.
--
-- Column names are chosen so that the joins the agent runs stay
-- unambiguous: archive_instances alone carries app_id and instance_id
-- among the archive tables, archive_sets alone carries profile_id, and
-- archive_id exists only in archives.  Times the agent compares with plain
-- integers (start_time, orig_time, creation_timestamp) are seconds since
-- the epoch; sizes and capacities are bigint.

CREATE TABLE systems (
    system_id       integer PRIMARY KEY,
    host            text    NOT NULL,
    is_local_system boolean NOT NULL DEFAULT false,
    is_active       boolean NOT NULL DEFAULT true
);

-- One row: this installation.
CREATE TABLE state (
    install_id text NOT NULL
);

-- Protected clients.
CREATE TABLE nodes (
    node_no   integer PRIMARY KEY,
    node_name text    NOT NULL,
    client_os integer NOT NULL DEFAULT 0
);

-- Kinds of protected application: type is "file-level", "VMware",
-- "Hyper-V", ...
CREATE TABLE application_lookup (
    app_id integer PRIMARY KEY,
    name   text    NOT NULL,
    type   text    NOT NULL
);

-- An application protected on a client.  key1..key4 identify it within its
-- kind (for a VMware instance key2 holds the virtual machine's name, for a
-- Hyper-V instance key1).
CREATE TABLE application_instances (
    instance_id integer NOT NULL,
    node_no     integer NOT NULL REFERENCES nodes (node_no),
    app_id      integer NOT NULL REFERENCES application_lookup (app_id),
    key1        text,
    key2        text,
    key3        text,
    key4        text,
    PRIMARY KEY (instance_id, node_no)
);

-- Backup catalogue behind kxGetBackupStatus.
CREATE TABLE backups (backup_no integer PRIMARY KEY, node_no integer NOT NULL, type integer NOT NULL, start_time bigint NOT NULL, status integer NOT NULL, size_mb integer NOT NULL DEFAULT 0, files integer NOT NULL DEFAULT 0, server_inst text, db_name text);

-- Backup devices.  capacity is in KB (units of 1024 bytes); dev_rw_name is
-- the directory a D2D device writes to.
CREATE TABLE devices (
    device_no   integer PRIMARY KEY,
    dev_name    text    NOT NULL,
    dev_rw_name text    NOT NULL DEFAULT '',
    capacity    bigint  NOT NULL DEFAULT 0,
    status      integer NOT NULL DEFAULT 0,
    dedup       boolean NOT NULL DEFAULT false,
    is_deleted  boolean NOT NULL DEFAULT false
);

-- Name/value configuration.  Items of ('system', 'configuration') hold sizes
-- in GB as decimal text.
CREATE TABLE nvp (
    nvp_type   text NOT NULL,
    nvp_name   text NOT NULL,
    item_name  text NOT NULL,
    item_value text NOT NULL DEFAULT '',
    PRIMARY KEY (nvp_type, nvp_name, item_name)
);

-- Replication: backups waiting to be sent, and what was sent.
CREATE TABLE replication_queue (
    queue_id    integer PRIMARY KEY,
    backup_no   integer     NOT NULL,
    destination text        NOT NULL,
    queued_time timestamptz NOT NULL DEFAULT now()
);

CREATE TABLE sds_stats (
    backup_no   integer     NOT NULL,
    client_name text        NOT NULL DEFAULT '',
    destination text        NOT NULL DEFAULT '',
    stat_time   timestamptz NOT NULL DEFAULT now(),
    bytes_syncd bigint      NOT NULL DEFAULT 0,
    message     text        NOT NULL DEFAULT ''
);

-- Archiving: a profile says where and how, a set is one run of a profile,
-- an archive is one backup written to a set.
CREATE TABLE archive_profiles (
    profile_id   integer PRIMARY KEY,
    profile_name text    NOT NULL,
    target       text    NOT NULL,
    dedup        boolean NOT NULL DEFAULT false,
    fastseed     boolean NOT NULL DEFAULT false,
    install_id   text    NOT NULL
);

CREATE TABLE archive_sets (
    archive_set_id     integer PRIMARY KEY,
    profile_id         integer NOT NULL REFERENCES archive_profiles (profile_id),
    creation_timestamp bigint  NOT NULL,
    description        text    NOT NULL DEFAULT ''
);

-- What was archived from: a client's application instance as it stood then.
CREATE TABLE archive_instances (
    archive_instance_id integer PRIMARY KEY,
    instance_id         integer,
    app_id              integer REFERENCES application_lookup (app_id),
    client_name         text    NOT NULL DEFAULT '',
    client_os           integer NOT NULL DEFAULT 0,
    key1                text,
    key2                text,
    key3                text,
    key4                text
);

CREATE TABLE archives (
    archive_id          integer PRIMARY KEY,
    archive_set_id      integer NOT NULL REFERENCES archive_sets (archive_set_id),
    archive_instance_id integer REFERENCES archive_instances (archive_instance_id),
    archive_success     boolean NOT NULL DEFAULT false,
    elapsed_secs        integer NOT NULL DEFAULT 0,
    orig_description    text    NOT NULL DEFAULT '',
    orig_backup_no      integer NOT NULL,
    orig_time           bigint  NOT NULL,
    backtype            integer NOT NULL,
    file_mib_size       bigint  NOT NULL DEFAULT 0,
    file_count          bigint  NOT NULL DEFAULT 0,
    compressed          boolean NOT NULL DEFAULT false,
    encrypted           boolean NOT NULL DEFAULT false,
    error_string        text    NOT NULL DEFAULT ''
);
