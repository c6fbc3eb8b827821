/*
 * kxext: the appliance database library over libpq.
 *
 * One connection per process, opened on demand and shared by every thread
 * under one mutex.  Result handles own their PGresult, which libpq keeps
 * independent of the connection, so a handle outlives pgClose().
 */
#include "kxext/kxext.h"

#include <libpq-fe.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace kxext_detail {

struct ResultDeleter {
    void operator()(PGresult *r) const noexcept { PQclear(r); }
};
struct ConnDeleter {
    void operator()(PGconn *c) const noexcept { PQfinish(c); }
};
struct OptionsDeleter {
    void operator()(PQconninfoOption *o) const noexcept { PQconninfoFree(o); }
};
using ResultPtr = std::unique_ptr<PGresult, ResultDeleter>;
using ConnPtr = std::unique_ptr<PGconn, ConnDeleter>;
using OptionsPtr = std::unique_ptr<PQconninfoOption, OptionsDeleter>;

}  // namespace kxext_detail

struct kx_result {
    kxext_detail::ResultPtr res;
    int status;  // what pgStatus answers, fixed when the statement ran
};

namespace {

using kxext_detail::ConnPtr;
using kxext_detail::OptionsPtr;
using kxext_detail::ResultPtr;

// Bounds a connection attempt when neither KXDB_CONNINFO nor the
// environment says otherwise, so a dead database cannot hang the agent.
constexpr const char *kDefaultConnectTimeout = "5";
constexpr const char *kDefaultDatabase = "kxdb";

struct Link {
    std::mutex mutex;
    ConnPtr conn;
};

// Deliberately never destroyed: the agent does not join its refresh thread
// at exit, so a statement may still be running while static destructors do.
Link &link()
{
    static Link *l = new Link;
    return *l;
}

thread_local std::vector<std::string> t_names;

__attribute__((format(printf, 2, 0)))
bool vformat(std::string &out, const char *format, va_list ap)
{
    va_list ap2;
    va_copy(ap2, ap);
    int n = std::vsnprintf(nullptr, 0, format, ap2);
    va_end(ap2);
    if (n < 0)
        return false;
    out.assign(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, ap);
    return true;
}

// libpq messages end in a newline; log lines add their own.
std::string trimmed(const char *msg)
{
    std::string s = msg ? msg : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s.empty() ? "unknown error" : s;
}

// Highest level written: KXEXT_LOG_LEVEL, read at every call so that a
// program may change it while it runs; unset or not a number: errors only.
// Errors (level 0) are written whatever it says.
int log_threshold()
{
    const char *v = std::getenv("KXEXT_LOG_LEVEL");
    if (!v || !*v)
        return 0;
    char *end = nullptr;
    long n = std::strtol(v, &end, 10);
    if (*end != '\0')
        return 0;
    return n > INT32_MAX ? INT32_MAX : (n < 0 ? 0 : static_cast<int>(n));
}

int status_of(const PGresult *r)
{
    switch (PQresultStatus(r)) {
    case PGRES_TUPLES_OK:
    case PGRES_SINGLE_TUPLE:
        return PQntuples(r);
    case PGRES_COMMAND_OK: {
        long n = std::strtol(PQcmdTuples(const_cast<PGresult *>(r)), nullptr, 10);
        return n < 0 ? 0 : (n > INT32_MAX ? INT32_MAX : static_cast<int>(n));
    }
    case PGRES_EMPTY_QUERY:
        return 0;
    default:
        return -1;
    }
}

// Connects unless a good connection is open.  Caller holds the mutex.
bool ensure_connected(Link &l)
{
    if (l.conn && PQstatus(l.conn.get()) == CONNECTION_OK)
        return true;
    l.conn.reset();

    const char *env = std::getenv("KXDB_CONNINFO");
    std::string info = env ? env : "";

    // Our defaults go first so that anything KXDB_CONNINFO names overrides
    // them (libpq takes the last value of a repeated keyword).
    std::vector<const char *> keys;
    std::vector<const char *> values;
    keys.push_back("dbname");
    values.push_back(kDefaultDatabase);
    if (!std::getenv("PGCONNECT_TIMEOUT")) {
        keys.push_back("connect_timeout");
        values.push_back(kDefaultConnectTimeout);
    }
    OptionsPtr opts;
    if (!info.empty()) {
        char *err = nullptr;
        opts.reset(PQconninfoParse(info.c_str(), &err));
        if (!opts) {
            logger(0, "PQconninfoParse: %s", trimmed(err ? err : "out of memory").c_str());
            PQfreemem(err);
            return false;
        }
        for (PQconninfoOption *o = opts.get(); o->keyword; ++o) {
            if (o->val && *o->val) {
                keys.push_back(o->keyword);
                values.push_back(o->val);
            }
        }
    }
    keys.push_back(nullptr);
    values.push_back(nullptr);

    ConnPtr c(PQconnectdbParams(keys.data(), values.data(), 0));
    if (!c) {
        logger(0, "PQconnectdb: out of memory");
        return false;
    }
    if (PQstatus(c.get()) != CONNECTION_OK) {
        logger(0, "PQconnectdb: %s", trimmed(PQerrorMessage(c.get())).c_str());
        return false;
    }
    l.conn = std::move(c);
    return true;
}

// Runs one statement through `exec` on the shared connection and wraps its
// result.  `call` and `sql` only name the statement in the error log.
template <typename Exec>
kx_result *run(const char *call, const std::string &sql, Exec exec)
{
    Link &l = link();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (!ensure_connected(l))
        return nullptr;

    ResultPtr r(exec(l.conn.get()));
    if (!r) {
        logger(0, "%s: %s in \"%s\"", call, trimmed(PQerrorMessage(l.conn.get())).c_str(),
               sql.c_str());
        if (PQstatus(l.conn.get()) != CONNECTION_OK)
            l.conn.reset();
        return nullptr;
    }
    switch (PQresultStatus(r.get())) {
    case PGRES_COPY_IN:
    case PGRES_COPY_OUT:
    case PGRES_COPY_BOTH:
        // Nothing here speaks COPY; a connection left in that mode is useless.
        logger(0, "%s: COPY is not supported in \"%s\"", call, sql.c_str());
        l.conn.reset();
        return new (std::nothrow) kx_result{nullptr, -1};
    default:
        break;
    }
    int status = status_of(r.get());
    if (status < 0) {
        logger(0, "%s: %s in \"%s\"", call, trimmed(PQresultErrorMessage(r.get())).c_str(),
               sql.c_str());
        // A lost server shows as a bad connection; the next statement reconnects.
        if (PQstatus(l.conn.get()) != CONNECTION_OK)
            l.conn.reset();
    }
    return new (std::nothrow) kx_result{std::move(r), status};
}

__attribute__((format(printf, 1, 0)))
kx_result *vexec(const char *format, va_list ap)
{
    if (!format) {
        logger(0, "PQexec: no statement");
        return nullptr;
    }
    try {
        std::string sql;
        if (!vformat(sql, format, ap)) {
            logger(0, "vsnprintf: cannot format \"%s\"", format);
            return nullptr;
        }
        return run("PQexec", sql, [&sql](PGconn *c) { return PQexec(c, sql.c_str()); });
    } catch (const std::bad_alloc &) {
        logger(0, "PQexec: out of memory");
        return nullptr;
    }
}

// The cell's text, or null when the row or the column does not exist.
const char *cell(const kx_result *r, int row, const char *column)
{
    if (!r || !r->res || r->status < 0 || !column || row < 0 || row >= PQntuples(r->res.get()))
        return nullptr;
    int col = PQfnumber(r->res.get(), column);
    if (col < 0)
        return nullptr;
    return PQgetvalue(r->res.get(), row, col);
}

int64_t to_int64(const char *s)
{
    return s ? static_cast<int64_t>(std::strtoll(s, nullptr, 10)) : 0;
}

char *dup_or_null(const PGresult *r, int row, int col)
{
    if (col < 0 || PQgetisnull(r, row, col))
        return nullptr;
    return strdup(PQgetvalue(r, row, col));
}

void free_records(backup_status *a, int n)
{
    for (int i = 0; i < n; ++i) {
        for (char *p : {a[i].client_desc, a[i].server_inst, a[i].db_name, a[i].volume,
                        a[i].location, a[i].description, a[i].start_text, a[i].end_text,
                        a[i].error_text, a[i].media})
            std::free(p);
    }
    std::free(a);
}

}  // namespace

extern "C" {

int pgOpen(int /*flag*/)
{
    try {
        Link &l = link();
        std::lock_guard<std::mutex> lock(l.mutex);
        return ensure_connected(l) ? 0 : -1;
    } catch (const std::bad_alloc &) {
        return -2;
    }
}

void pgClose(void)
{
    Link &l = link();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.conn.reset();
}

kx_result *pgQuery(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    kx_result *r = vexec(format, ap);
    va_end(ap);
    return r;
}

kx_result *pgVExec(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    kx_result *r = vexec(format, ap);
    va_end(ap);
    return r;
}

int pgStatus(const kx_result *result)
{
    return result ? result->status : -1;
}

int pgTuples(const kx_result *result)
{
    if (!result || !result->res || result->status < 0)
        return 0;
    return PQntuples(result->res.get());
}

const char *pgSVal(const kx_result *result, int row, const char *column)
{
    const char *v = cell(result, row, column);
    return v ? v : "";
}

// Values beyond 32 bits keep their low 32 bits, so a caller that stores
// the word unsigned still reads sizes up to 4G right.
int32_t pgLVal(const kx_result *result, int row, const char *column)
{
    return static_cast<int32_t>(to_int64(cell(result, row, column)));
}

int64_t pgLLVal(const kx_result *result, int row, const char *column)
{
    return to_int64(cell(result, row, column));
}

unsigned char pgBVal(const kx_result *result, int row, const char *column)
{
    const char *v = cell(result, row, column);
    if (!v)
        return 0;
    return (std::strcmp(v, "t") == 0 || std::strcmp(v, "true") == 0 || std::strcmp(v, "1") == 0)
               ? 1
               : 0;
}

void pgFree(kx_result *result)
{
    delete result;
}

/*
 * The request's words mean: types_mode, start_mode and end_mode set to 2
 * switch on the filter on the type list, the window start and the window
 * end (both inclusive); any other value leaves that filter off.  Records
 * always come ordered by backup number, whatever order_mode says.
 * Caller data reaches the server only as statement parameters.
 */
int kxGetBackupStatus(const backup_status_request *request, backup_status **array, int *count)
{
    if (!array || !count)
        return -1;
    *array = nullptr;
    *count = 0;
    if (!request)
        return -1;
    const bool by_type = request->types_mode == 2;
    if (by_type && (request->ntypes < 0 || (request->ntypes > 0 && !request->types)))
        return -1;

    try {
        std::string sql = "SELECT backup_no, node_no, type, start_time, status, size_mb, files, "
                          "server_inst, db_name FROM backups";
        std::vector<std::string> params;
        auto param = [&params](std::string value) {
            params.push_back(std::move(value));
            return "$" + std::to_string(params.size());
        };
        std::vector<std::string> conditions;
        if (by_type) {
            std::string list = "{";
            for (int i = 0; i < request->ntypes; ++i) {
                if (i)
                    list += ',';
                list += std::to_string(request->types[i]);
            }
            list += '}';
            conditions.push_back("type = ANY(" + param(list) + "::integer[])");
        }
        if (request->start_mode == 2)
            conditions.push_back("start_time >= " + param(std::to_string(request->window_start)) +
                                 "::bigint");
        if (request->end_mode == 2)
            conditions.push_back("start_time <= " + param(std::to_string(request->window_end)) +
                                 "::bigint");
        for (size_t i = 0; i < conditions.size(); ++i)
            sql += (i ? " AND " : " WHERE ") + conditions[i];
        sql += " ORDER BY backup_no";

        std::vector<const char *> values;
        for (const auto &p : params)
            values.push_back(p.c_str());
        std::unique_ptr<kx_result> r(run("PQexecParams", sql, [&](PGconn *c) {
            return PQexecParams(c, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                values.data(), nullptr, nullptr, 0);
        }));
        if (!r || r->status < 0)
            return -2;

        const PGresult *res = r->res.get();
        const int rows = PQntuples(res);
        if (rows == 0)
            return 0;
        auto *out = static_cast<backup_status *>(std::calloc(static_cast<size_t>(rows),
                                                             sizeof(backup_status)));
        if (!out) {
            logger(0, "calloc: no room for %d backup records", rows);
            return -2;
        }
        const int c_no = PQfnumber(res, "backup_no"), c_node = PQfnumber(res, "node_no"),
                  c_type = PQfnumber(res, "type"), c_start = PQfnumber(res, "start_time"),
                  c_status = PQfnumber(res, "status"), c_size = PQfnumber(res, "size_mb"),
                  c_files = PQfnumber(res, "files"), c_inst = PQfnumber(res, "server_inst"),
                  c_db = PQfnumber(res, "db_name");
        auto num = [res](int row, int col) {
            return static_cast<int32_t>(std::strtoll(PQgetvalue(res, row, col), nullptr, 10));
        };
        for (int i = 0; i < rows; ++i) {
            backup_status &b = out[i];
            b.backup_id = num(i, c_no);
            b.node_no = num(i, c_node);
            b.type = num(i, c_type);
            b.start_time = num(i, c_start);
            b.status = num(i, c_status);
            b.size_mb = num(i, c_size);
            b.files = num(i, c_files);
            b.server_inst = dup_or_null(res, i, c_inst);
            b.db_name = dup_or_null(res, i, c_db);
            if ((!b.server_inst && !PQgetisnull(res, i, c_inst)) ||
                (!b.db_name && !PQgetisnull(res, i, c_db))) {
                logger(0, "strdup: out of memory for backup %d", b.backup_id);
                free_records(out, i + 1);
                return -2;
            }
        }
        *array = out;
        *count = rows;
        return 0;
    } catch (const std::bad_alloc &) {
        logger(0, "kxGetBackupStatus: out of memory");
        return -2;
    }
}

void logger(int level, const char *format, ...)
{
    if (level > 0 && level > log_threshold())
        return;
    try {
        std::string msg;
        if (format) {
            va_list ap;
            va_start(ap, format);
            bool ok = vformat(msg, format, ap);
            va_end(ap);
            if (!ok)
                msg = format;
        }
        std::string line = "kxext[" + std::to_string(level) + "] ";
        line += t_names.empty() ? "-" : t_names.back();
        line += ": ";
        line += msg;
        if (line.back() != '\n')
            line += '\n';
        // One write per line keeps lines of concurrent threads whole.
        std::fwrite(line.data(), 1, line.size(), stderr);
    } catch (const std::bad_alloc &) {
        std::fputs("kxext: out of memory while logging\n", stderr);
    }
}

void push_name(const char *name)
{
    try {
        t_names.emplace_back(name ? name : "-");
    } catch (const std::bad_alloc &) {
        // The context of a log line is not worth failing the caller for.
    }
}

void pop_name(void)
{
    if (!t_names.empty())
        t_names.pop_back();
}

}  // extern "C"
