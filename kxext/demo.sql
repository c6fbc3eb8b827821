-- Demo content of kxdb, loaded after kxext/schema.sql: a mid-sized
-- appliance protecting file servers, SQL Server, Exchange, VMware, Hyper-V
-- and Oracle, replicating to a second site and archiving weekly.
-- Times are relative to the load time, so the data always looks recent.

INSERT INTO systems (system_id, host, is_local_system, is_active) VALUES
    (1, 'kx-backup01', true,  true),
    (2, 'kx-dr01',     false, true);

INSERT INTO state (install_id) VALUES ('KX-2C41-9D07');

INSERT INTO nodes (node_no, node_name, client_os) VALUES
    (1, 'fs-corp01',     20),
    (2, 'exch01',        39),
    (3, 'sql01',         36),
    (4, 'esx-cluster01', 1040),
    (5, 'hv-host02',     1041),
    (6, 'oradb01',       20),
    (7, 'fs-branch02',   35);

INSERT INTO application_lookup (app_id, name, type) VALUES
    (1, 'File Level',        'file-level'),
    (2, 'VMware vSphere',    'VMware'),
    (3, 'Microsoft Hyper-V', 'Hyper-V');

-- Instance 1, the one client names are looked up through, is file-level.
INSERT INTO application_instances (instance_id, node_no, app_id, key1, key2, key3, key4) VALUES
    (1, 1, 1, NULL,                 NULL,          NULL, NULL),
    (2, 4, 2, 'vcenter.corp.local', 'web-prod-01', 'datacenter1', NULL),
    (3, 5, 3, 'dc02',               NULL,          NULL, NULL),
    (4, 2, 1, NULL,                 NULL,          NULL, NULL),
    (5, 3, 1, NULL,                 NULL,          NULL, NULL),
    (6, 6, 1, NULL,                 NULL,          NULL, NULL),
    (7, 7, 1, NULL,                 NULL,          NULL, NULL);

-- A week of backups, hours_ago before the load time.  Status 0 succeeded,
-- 2 failed, 1 is still running.
INSERT INTO backups (backup_no, node_no, type, start_time, status, size_mb, files, server_inst, db_name)
SELECT backup_no, node_no, type, EXTRACT(EPOCH FROM now())::bigint - hours_ago * 3600,
       status, size_mb, files, server_inst, db_name
FROM (VALUES
    (2001, 1,  1, 200, 0, 412800, 1843211, NULL,                 NULL),
    (2002, 7,  1, 190, 0,  98304,  402117, NULL,                 NULL),
    (2003, 3, 27, 170, 0,  51200,       4, 'SQL01\MSSQLSERVER',  'Finance'),
    (2004, 2, 18, 160, 0, 184320,       9, 'EXCH01',             'Mailbox01'),
    (2005, 4, 34, 150, 0, 307200,      22, 'vcenter.corp.local', NULL),
    (2006, 5, 42, 140, 2,      0,       0, 'hv-host02',          NULL),
    (2007, 6, 51, 130, 0, 122880,      61, 'ORCL',               'ORCL'),
    (2008, 1, 48, 120, 0,     12,     310, NULL,                 NULL),
    (2009, 1, 41, 100, 0,   6144,   21874, NULL,                 NULL),
    (2010, 3, 29,  96, 0,    870,       1, 'SQL01\MSSQLSERVER',  'Finance'),
    (2011, 3, 28,  72, 0,   9420,       4, 'SQL01\MSSQLSERVER',  'Finance'),
    (2012, 2, 20,  70, 2,      0,       0, 'EXCH01',             'Mailbox01'),
    (2013, 4, 36,  60, 0,  24576,      22, 'vcenter.corp.local', NULL),
    (2014, 5, 44,  50, 0,  11264,       6, 'hv-host02',          NULL),
    (2015, 7,  2,  48, 0,  15360,   50211, NULL,                 NULL),
    (2016, 6, 52,  36, 0,   8704,      12, 'ORCL',               'ORCL'),
    (2017, 1, 41,  26, 0,   5120,   19002, NULL,                 NULL),
    (2018, 1, 16,  25, 0,      0,   19002, NULL,                 NULL),
    (2019, 2, 20,  20, 0,   7168,       3, 'EXCH01',             'Mailbox01'),
    (2020, 3, 29,  12, 0,    640,       1, 'SQL01\MSSQLSERVER',  'Finance'),
    (2021, 4, 36,   6, 0,  20480,      22, 'vcenter.corp.local', NULL),
    (2022, 7, 17,   4, 0,   2048,    1200, NULL,                 NULL),
    (2023, 1, 41,   1, 1,   1024,    4410, NULL,                 NULL),
    -- Older than the week the agent reports.
    (1990, 1,  1, 370, 0, 409600, 1839440, NULL,                 NULL),
    (1991, 4, 34, 360, 0, 305152,      22, 'vcenter.corp.local', NULL)
) AS v (backup_no, node_no, type, hours_ago, status, size_mb, files, server_inst, db_name);

-- Two D2D devices and a tape drive.  Capacity in KB.
INSERT INTO devices (device_no, dev_name, dev_rw_name, capacity, status, dedup, is_deleted) VALUES
    (1, 'D2D0',   '/backups/d2d0', 3221225472, 0, true,  false),
    (2, 'D2D1',   '/backups/d2d1', 1610612736, 0, false, false),
    (3, 'sctape', '/dev/nst0',     2621440000, 0, false, false);

-- Sizes in GB.
INSERT INTO nvp (nvp_type, nvp_name, item_name, item_value) VALUES
    ('system', 'configuration', 'D2D_size',        '4608'),
    ('system', 'configuration', 'VirtualFailover', '500'),
    ('system', 'configuration', 'ArchiveStaging',  '250'),
    ('system', 'network',       'hostname',        'kx-backup01'),
    ('system', 'network',       'domain',          'corp.local'),
    ('backup', 'configuration', 'retention_days',  '30');

INSERT INTO replication_queue (queue_id, backup_no, destination, queued_time) VALUES
    (31, 2022, 'kx-dr01', now() - interval '4 hours'),
    (32, 2023, 'kx-dr01', now() - interval '1 hour');

INSERT INTO sds_stats (backup_no, client_name, destination, stat_time, bytes_syncd, message) VALUES
    (2021, 'esx-cluster01', 'kx-dr01', now() - interval '5 hours',  21474836480, 'Replication complete'),
    (2021, 'esx-cluster01', 'kx-dr01', now() - interval '5 hours 30 minutes', 9663676416, 'Replication in progress'),
    (2020, 'sql01',         'kx-dr01', now() - interval '11 hours', 671088640,   'Replication complete'),
    (2019, 'exch01',        'kx-dr01', now() - interval '19 hours', 7516192768,  'Replication complete'),
    (2017, 'fs-corp01',     'kx-dr01', now() - interval '25 hours', 5368709120,  'Replication complete'),
    (2016, 'oradb01',       'kx-dr01', now() - interval '35 hours', 4294967296,  'Replication failed: target unreachable'),
    (2013, 'esx-cluster01', 'kx-dr01', now() - interval '59 hours', 25769803776, 'Replication complete');

INSERT INTO archive_profiles (profile_id, profile_name, target, dedup, fastseed, install_id) VALUES
    (1, 'Weekly offsite',  '/archive/usb0',    true,  false, 'KX-2C41-9D07'),
    (2, 'Monthly vault',   '/archive/nas-vault', false, true, 'KX-2C41-9D07');

INSERT INTO archive_sets (archive_set_id, profile_id, creation_timestamp, description) VALUES
    (11, 1, EXTRACT(EPOCH FROM now())::bigint - 30 * 3600, 'Weekly offsite'),
    (12, 2, EXTRACT(EPOCH FROM now())::bigint - 20 * 86400, 'Monthly vault');

INSERT INTO archive_instances (archive_instance_id, instance_id, app_id, client_name, client_os, key1, key2) VALUES
    (1, 1, 1, 'fs-corp01',   20,   NULL,                 NULL),
    (2, 2, 2, 'web-prod-01', 1040, 'vcenter.corp.local', 'web-prod-01'),
    (3, 3, 3, 'dc02',        1041, 'dc02',               NULL),
    (4, 5, 1, 'sql01',       36,   NULL,                 NULL);

INSERT INTO archives (archive_id, archive_set_id, archive_instance_id, archive_success, elapsed_secs,
                      orig_description, orig_backup_no, orig_time, backtype, file_mib_size,
                      file_count, compressed, encrypted, error_string)
SELECT archive_id, archive_set_id, archive_instance_id, archive_success, elapsed_secs,
       orig_description, orig_backup_no, EXTRACT(EPOCH FROM now())::bigint - hours_ago * 3600,
       backtype, file_mib_size, file_count, compressed, encrypted, error_string
FROM (VALUES
    (501, 11, 1, true,  5410, 'Master fs-corp01',          2001, 200,  1, 412800, 1843211, true, true,  ''),
    (502, 11, 4, true,   620, 'SQL full Finance',          2003, 170, 27,  51200,       4, true, true,  ''),
    (503, 11, 2, true,  4100, 'VMware full web-prod-01',   2005, 150, 34, 307200,      22, true, true,  ''),
    (504, 11, 3, false,   45, 'Hyper-V full dc02',         2006, 140, 42,      0,       0, true, true,  'Source backup incomplete'),
    (505, 11, 1, true,   210, 'Incremental fs-corp01',     2009, 100, 41,   6144,   21874, true, true,  ''),
    (490, 12, 1, true,  5300, 'Master fs-corp01',          1990, 370,  1, 409600, 1839440, true, false, '')
) AS v (archive_id, archive_set_id, archive_instance_id, archive_success, elapsed_secs,
        orig_description, orig_backup_no, hours_ago, backtype, file_mib_size, file_count,
        compressed, encrypted, error_string);
