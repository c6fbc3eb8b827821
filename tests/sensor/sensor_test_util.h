// Helpers shared by the sensor group's tests: SDRs and SEL records made in
// the test, a stand-in for the two SEL commands, the agent log read back,
// and requests through the group's own variable table.
#ifndef CORVANTIS_TESTS_SENSOR_TEST_UTIL_H
#define CORVANTIS_TESTS_SENSOR_TEST_UTIL_H

#include "agent/agent.h"
#include "agent/mib.h"
#include "../unit/mib_request.h"
#include "groups/ipmiGroup.h"
#include "ipmi/internal.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using Bytes = std::vector<unsigned char>;

// --- Sensor data records

struct FullRecord {
    unsigned short id = 1;
    unsigned char number = 1;
    unsigned char type = SENSOR_TYPE_TEMPERATURE;
    std::string name = "Temp";
    unsigned char units1 = 0x00;
    unsigned char base_unit = 1; // degrees C
    int m = 1;
    int b = 0;
    int r_exp = 0;
    int b_exp = 0;
    // UNR, UC, UNC, LNR, LC, LNC as raw bytes
    std::array<unsigned char, 6> thresholds = {100, 95, 85, 2, 5, 10};
    int total_length = -1; // -1: 48 + the name's length
};

// A full sensor record laid out as the BMC stores it (5-byte header first).
inline Bytes full_record(const FullRecord &f)
{
    int total = f.total_length >= 0 ? f.total_length : 48 + static_cast<int>(f.name.size());
    Bytes r(total > 64 ? total : 64, 0);
    r[0] = f.id & 0xff;
    r[1] = f.id >> 8;
    r[2] = 0x51;
    r[3] = 0x01;
    r[4] = static_cast<unsigned char>(total - 5);
    r[5] = 0x20;
    r[7] = f.number;
    r[12] = f.type;
    r[13] = 0x01;
    r[20] = f.units1;
    r[21] = f.base_unit;
    r[24] = f.m & 0xff;
    r[25] = ((f.m >> 8) & 0x03) << 6;
    r[26] = f.b & 0xff;
    r[27] = ((f.b >> 8) & 0x03) << 6;
    r[29] = static_cast<unsigned char>(((f.r_exp & 0x0f) << 4) | (f.b_exp & 0x0f));
    for (int i = 0; i < 6; i++)
        r[36 + i] = f.thresholds[i];
    r[47] = static_cast<unsigned char>(0xc0 | f.name.size());
    for (size_t i = 0; i < f.name.size() && 48 + i < r.size(); i++)
        r[48 + i] = static_cast<unsigned char>(f.name[i]);
    r.resize(total);
    return r;
}

// A compact sensor record (type 02h) of a discrete sensor.
inline Bytes compact_record(unsigned short id, unsigned char number, const std::string &name)
{
    Bytes r(32 + name.size(), 0);
    r[0] = id & 0xff;
    r[1] = id >> 8;
    r[2] = 0x51;
    r[3] = 0x02;
    r[4] = static_cast<unsigned char>(r.size() - 5);
    r[5] = 0x20;
    r[7] = number;
    r[12] = 0x05;
    r[13] = 0x6f;
    r[20] = 0xc0;
    r[31] = static_cast<unsigned char>(0xc0 | name.size());
    std::memcpy(r.data() + 32, name.data(), name.size());
    return r;
}

inline Bytes concat(std::initializer_list<Bytes> records)
{
    Bytes all;
    for (const Bytes &r : records)
        all.insert(all.end(), r.begin(), r.end());
    return all;
}

// --- System event log

using SelRecord = std::array<unsigned char, 16>;

// A system event record (type 02h) from the BMC (generator 20h).
inline SelRecord sel_event(unsigned short id, unsigned char sensor_type, unsigned char sensor,
                           unsigned char dir_type, unsigned char d1, unsigned char d2,
                           unsigned char d3)
{
    return {static_cast<unsigned char>(id & 0xff), static_cast<unsigned char>(id >> 8), 0x02,
            0x00, 0x60, 0x69, 0x65, 0x20, 0x00, 0x04, sensor_type, sensor, dir_type, d1, d2, d3};
}

// The BMC side of Get SEL Info and Get SEL Entry, for answers ipmi_sim
// cannot be made to give (a record of the wrong ID, completion code CBh for
// FFFFh, transport errors).  Replaces the group's SEL command while alive.
struct FakeSel {
    std::vector<SelRecord> entries;
    bool not_present_for_last = false; // FFFFh: CBh instead of the last entry
    int count = -1;                    // Get SEL Info's count (-1: the entries)
    int info_rc = 0;
    unsigned char info_cc = 0;
    int entry_rc = 0;
    int wrong_for = -1; // the request for this ID gets the record after it
    int entry_requests = 0;

    static FakeSel *current;

    FakeSel()
    {
        current = this;
        set_sel_command(command);
    }
    ~FakeSel()
    {
        set_sel_command(nullptr);
        current = nullptr;
    }
    FakeSel(const FakeSel &) = delete;
    FakeSel &operator=(const FakeSel &) = delete;

    static unsigned short id_of(const SelRecord &r) { return static_cast<unsigned short>(r[0] | (r[1] << 8)); }

    static int command(unsigned short cmd, unsigned char *rq, int rq_len, unsigned char *rs,
                       int *rs_len, unsigned char *cc, int)
    {
        FakeSel &f = *current;
        if (cmd == 0x0A40) {
            if (f.info_rc != 0)
                return f.info_rc;
            *cc = f.info_cc;
            int n = f.count >= 0 ? f.count : static_cast<int>(f.entries.size());
            unsigned char answer[14] = {0x51, static_cast<unsigned char>(n & 0xff),
                                        static_cast<unsigned char>(n >> 8)};
            std::memcpy(rs, answer, sizeof answer);
            *rs_len = sizeof answer;
            return 0;
        }
        if (cmd != 0x0A43 || rq_len != 6)
            return -1;
        f.entry_requests++;
        if (f.entry_rc != 0)
            return f.entry_rc;
        unsigned short id = static_cast<unsigned short>(rq[2] | (rq[3] << 8));
        int pos = -1;
        if (f.entries.empty() || (id == 0xFFFF && f.not_present_for_last)) {
            pos = -1;
        } else if (id == 0) {
            pos = 0;
        } else if (id == 0xFFFF) {
            pos = static_cast<int>(f.entries.size()) - 1;
        } else {
            for (size_t i = 0; i < f.entries.size(); i++)
                if (id_of(f.entries[i]) == id)
                    pos = static_cast<int>(i);
        }
        if (pos >= 0 && id == f.wrong_for && pos + 1 < static_cast<int>(f.entries.size()))
            pos++;
        if (pos < 0) {
            *cc = 0xCB;
            *rs_len = 0;
            return 0;
        }
        unsigned short next = pos + 1 < static_cast<int>(f.entries.size())
                                  ? id_of(f.entries[pos + 1])
                                  : 0xFFFF;
        rs[0] = next & 0xff;
        rs[1] = next >> 8;
        std::memcpy(rs + 2, f.entries[pos].data(), 16);
        *rs_len = 18;
        *cc = 0;
        return 0;
    }
};
inline FakeSel *FakeSel::current = nullptr;

// --- The agent log

// Sends the agent log to a private file with traces on; removed at scope end.
class LogCapture {
public:
    LogCapture()
    {
        char pattern[] = "/tmp/corvantis-sensor-log.XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0)
            close(fd);
        path_ = pattern;
        std::snprintf(g_log_file, sizeof g_log_file, "%s", path_.c_str());
        g_verbose = 4;
    }
    ~LogCapture() { unlink(path_.c_str()); }
    std::string text() const
    {
        std::ifstream in(path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Entries "... [level] message" holding part.
    int count(int level, const std::string &part) const
    {
        std::istringstream in(text());
        std::string line;
        int n = 0;
        std::string tag = "[" + std::to_string(level) + "] ";
        while (std::getline(in, line)) {
            size_t at = line.find(tag);
            if (at != std::string::npos && line.find(part, at) != std::string::npos)
                n++;
        }
        return n;
    }
    bool has(int level, const std::string &part) const { return count(level, part) > 0; }
    bool has_any(const std::string &part) const { return text().find(part) != std::string::npos; }
    void clear() const { std::ofstream(path_, std::ios::trunc); }

private:
    std::string path_;
};

// --- Requests

inline std::optional<struct variable> sensor_entry(std::initializer_list<oid> suffix)
{
    return group_entry(sensorGroup_variables, 4, suffix);
}

// A GET of suffix.instance (an instance of 0 for scalars).
inline Answer sensor_get(std::initializer_list<oid> suffix, oid instance)
{
    return group_get(sensor_entry(suffix), instance);
}

// Back to a fresh start: no rows, no event log, no cache, the flags as at
// start-up (interface found or not as asked).
inline void reset_sensor_group(bool interface_found)
{
    g_ipmi_intf_found = 1;
    close_sensors();
    g_ipmi_intf_found = interface_found ? 1 : 0;
    g_sel_eof_level = 2;
    g_logged_selrecs = 0;
}

// What the handlers would see now.
inline std::shared_ptr<const sensor_tables> sensors()
{
    return g_sensors.now();
}
inline std::shared_ptr<const sel_tables> event_log()
{
    return g_event_log.now();
}

// Publishes a changed copy of the sensor tables, as a walk would.
template <typename Change>
void republish_sensors(Change &&change)
{
    auto copy = std::make_shared<sensor_tables>(*g_sensors.now());
    change(*copy);
    g_sensors.publish(copy);
}

#endif
