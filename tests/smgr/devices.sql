-- D2D devices for the reservation manager's tests and benchmark.  capacity
-- is in KB (units of 1024 bytes).
INSERT INTO devices (device_no, dev_name, dev_rw_name, capacity) VALUES
    (1, 'd2d-small',       '/backups/small',       100),         -- 102400 bytes
    (2, 'd2d-large',       '/backups/large',       1073741824),  -- 1 TiB
    (3, 'sctape',          '/dev/nst0',            0),           -- a tape drive
    (4, 'd2d-unmonitored', '/backups/unmonitored', 100),         -- not in the monitor's list
    (5, 'd2d-nosem',       '/backups/nosem',       100),         -- listed, no semaphore set
    (11, 'd2d-b1', '/backups/b1', 1073741824),
    (12, 'd2d-b2', '/backups/b2', 1073741824),
    (13, 'd2d-b3', '/backups/b3', 1073741824),
    (14, 'd2d-b4', '/backups/b4', 1073741824),
    (15, 'd2d-b5', '/backups/b5', 1073741824),
    (16, 'd2d-b6', '/backups/b6', 1073741824),
    (17, 'd2d-b7', '/backups/b7', 1073741824),
    (18, 'd2d-b8', '/backups/b8', 1073741824);
