/*
 * kxext: the appliance database library over libpq.
 *
 * One connection per process, opened on demand and shared by every thread
 * one call at a time.  Result handles own their PGresult, which libpq keeps
 * independent of the connection, so a handle outlives pgClose().
 *
 * Every call has a deadline.  libpq's blocking calls wait on the server
 * without bound (a frozen server holds them for ever), so connecting and
 * statements go through its non-blocking interface and poll() here; a call
 * that runs out of time drops the connection and fails.
 */
#include "kxext/kxext.h"

#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
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

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Bounds a connection attempt when neither KXDB_CONNINFO nor the
// environment says otherwise, so a dead database cannot hang the agent.
constexpr const char *kDefaultConnectTimeout = "5";
constexpr long kDefaultConnectTimeoutMs = 5000;
constexpr const char *kDefaultDatabase = "kxdb";
// Each statement, from the call to its last result.  A server-side
// statement_timeout cannot help here: a frozen server enforces nothing.
constexpr long kDefaultStatementTimeoutMs = 10000;
constexpr long kMaxTimeoutMs = 24L * 3600 * 1000;

// TCP keepalives notice a database host that vanished while the connection
// sat idle (about 11 s) instead of the kernel's two hours; libpq ignores
// them on Unix sockets.  Anything KXDB_CONNINFO sets wins.
constexpr const char *kKeepalives[][2] = {
    {"keepalives", "1"},
    {"keepalives_idle", "5"},
    {"keepalives_interval", "2"},
    {"keepalives_count", "3"},
};

// A point in time and the bound it was set by, for the log.
struct Deadline {
    Clock::time_point at;
    long ms;
};

// Log lines go here when set, else to stderr.
std::atomic<kxext_log_fn> g_sink{nullptr};

// The connection belongs to one call at a time.  A busy flag and a
// condition variable rather than a timed mutex: a caller waits for the
// connection no longer than its own deadline, even behind a statement that
// waits out its own, and ThreadSanitizer follows these waits (it does not
// see a timed mutex's).
struct Link {
    std::mutex mutex;
    std::condition_variable freed;
    bool busy = false;
    bool close_pending = false;  // pgClose() came while busy
    ConnPtr conn;                // used by the holder, or under the mutex when not busy
};

// Deliberately never destroyed: the agent does not join its refresh thread
// at exit, so a statement may still be running while static destructors do.
Link &link()
{
    static Link *l = new Link;
    return *l;
}

// Holds the connection for one call, waiting for it until the deadline
// (then false).
class Hold {
public:
    Hold(Link &l, Clock::time_point deadline) : l_(l)
    {
        std::unique_lock<std::mutex> lock(l.mutex);
        if (l.freed.wait_until(lock, deadline, [&l] { return !l.busy; }))
            l.busy = held_ = true;
    }
    ~Hold()
    {
        if (!held_)
            return;
        {
            std::lock_guard<std::mutex> lock(l_.mutex);
            if (l_.close_pending)
                l_.conn.reset();
            l_.close_pending = false;
            l_.busy = false;
        }
        l_.freed.notify_one();
    }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
    explicit operator bool() const { return held_; }

private:
    Link &l_;
    bool held_ = false;
};

thread_local std::vector<std::string> t_names;
// What pgConnectionFailed() answers on this thread.
thread_local bool t_connection_failed = false;

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

// Milliseconds from a positive decimal in the environment, else fallback.
long timeout_from_env(const char *name, long fallback)
{
    const char *v = std::getenv(name);
    if (!v || !*v)
        return fallback;
    char *end = nullptr;
    errno = 0;
    long n = std::strtol(v, &end, 10);
    if (*end != '\0' || errno != 0 || n <= 0)
        return fallback;
    return std::min(n, kMaxTimeoutMs);
}

// The statement deadline: KXDB_STATEMENT_TIMEOUT_MS, read at every call.
long statement_timeout_ms()
{
    return timeout_from_env("KXDB_STATEMENT_TIMEOUT_MS", kDefaultStatementTimeoutMs);
}

// The connect deadline as libpq would count connect_timeout (whole seconds,
// at least 2), but never unbounded: 0 or junk mean our default.
long connect_timeout_ms(PGconn *c)
{
    long ms = kDefaultConnectTimeoutMs;
    OptionsPtr opts(PQconninfo(c));
    for (PQconninfoOption *o = opts.get(); o && o->keyword; ++o) {
        if (std::strcmp(o->keyword, "connect_timeout") != 0 || !o->val)
            continue;
        char *end = nullptr;
        long s = std::strtol(o->val, &end, 10);
        if (end != o->val && *end == '\0' && s > 0)
            ms = std::min(std::max(s, 2L) * 1000, kMaxTimeoutMs);
    }
    return ms;
}

long millis(Clock::duration d)
{
    return static_cast<long>(std::chrono::ceil<Millis>(d).count());
}

// Waits until fd is ready for events or the deadline passes: the events
// that came, 0 when the time ran out, -1 when poll() failed (errno).
int wait_socket(int fd, short events, Clock::time_point deadline)
{
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        const long left = millis(deadline - Clock::now());
        if (left <= 0)
            return 0;
        pollfd p{fd, events, 0};
        const int n = poll(&p, 1, static_cast<int>(std::min(left, static_cast<long>(INT_MAX))));
        if (n > 0)
            return p.revents;
        if (n < 0 && errno != EINTR)
            return -1;
    }
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

// Connects unless a good connection is open, giving up at the connect
// deadline or at the call's, whichever comes first (none: only the
// connect deadline).  Caller holds the connection.
// The log names each step after the blocking libpq call it stands in for,
// as these lines always have.
bool ensure_connected(Link &l, const Deadline *call)
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
    for (const auto &kv : kKeepalives) {
        keys.push_back(kv[0]);
        values.push_back(kv[1]);
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

    const Clock::time_point started = Clock::now();
    ConnPtr c(PQconnectStartParams(keys.data(), values.data(), 0));
    if (!c) {
        logger(0, "PQconnectdb: out of memory");
        return false;
    }
    const long connect_ms = connect_timeout_ms(c.get());
    Deadline deadline{started + Millis(connect_ms), connect_ms};
    if (call && call->at < deadline.at)
        deadline = *call;
    // libpq's protocol: start as if the socket had asked to be written.
    PostgresPollingStatusType state = PGRES_POLLING_WRITING;
    while (PQstatus(c.get()) != CONNECTION_BAD && state != PGRES_POLLING_OK &&
           state != PGRES_POLLING_FAILED) {
        const short events = state == PGRES_POLLING_READING ? POLLIN : POLLOUT;
        const int ready = wait_socket(PQsocket(c.get()), events, deadline.at);
        if (ready == 0) {
            const char *host = PQhost(c.get()), *port = PQport(c.get());
            logger(0, "PQconnectdb: connection to %s port %s timed out after %ld ms",
                   host ? host : "?", port ? port : "?", deadline.ms);
            return false;
        }
        if (ready < 0) {
            logger(0, "PQconnectdb: poll: %s", std::strerror(errno));
            return false;
        }
        state = PQconnectPoll(c.get());
    }
    if (PQstatus(c.get()) != CONNECTION_OK) {
        logger(0, "PQconnectdb: %s", trimmed(PQerrorMessage(c.get())).c_str());
        return false;
    }
    // Non-blocking for good: libpq then never waits to flush output, not
    // even in PQfinish, which sends a goodbye to a server that may be stuck.
    if (PQsetnonblocking(c.get(), 1) != 0) {
        logger(0, "PQsetnonblocking: %s", trimmed(PQerrorMessage(c.get())).c_str());
        return false;
    }
    l.conn = std::move(c);
    return true;
}

// How collect() ended.
enum class Outcome { done, expired, failed };

// Sends the statement libpq holds and reads its results as PQexec does
// (keeping the last one, stopping at COPY or a lost connection), waiting on
// the socket only until the deadline.  A failure's reason goes to cause.
Outcome collect(PGconn *c, Clock::time_point deadline, ResultPtr &last, std::string &cause)
{
    auto poll_failed = [&cause] {
        cause = std::string("poll: ") + std::strerror(errno);
        return Outcome::failed;
    };
    for (;;) {
        const int f = PQflush(c);
        if (f == 0)
            break;
        if (f < 0) {
            cause = trimmed(PQerrorMessage(c));
            return Outcome::failed;
        }
        // The server may have to be read before it takes more.
        const int ready = wait_socket(PQsocket(c), POLLIN | POLLOUT, deadline);
        if (ready == 0)
            return Outcome::expired;
        if (ready < 0)
            return poll_failed();
        if ((ready & POLLIN) && !PQconsumeInput(c)) {
            cause = trimmed(PQerrorMessage(c));
            return Outcome::failed;
        }
    }
    for (;;) {
        while (PQisBusy(c)) {
            // Once libpq has closed a lost connection's socket, PQgetResult
            // reports the loss without waiting.
            if (PQstatus(c) == CONNECTION_BAD && PQsocket(c) < 0)
                break;
            const int ready = wait_socket(PQsocket(c), POLLIN, deadline);
            if (ready == 0)
                return Outcome::expired;
            if (ready < 0)
                return poll_failed();
            if (!PQconsumeInput(c) && !(PQstatus(c) == CONNECTION_BAD && PQsocket(c) < 0)) {
                cause = trimmed(PQerrorMessage(c));
                return Outcome::failed;
            }
        }
        ResultPtr r(PQgetResult(c));
        if (!r)
            return Outcome::done;
        last = std::move(r);
        switch (PQresultStatus(last.get())) {
        case PGRES_COPY_IN:
        case PGRES_COPY_OUT:
        case PGRES_COPY_BOTH:
            return Outcome::done;
        default:
            if (PQstatus(c) == CONNECTION_BAD)
                return Outcome::done;
        }
    }
}

// Sends one statement through `send` on the shared connection, collects it
// and wraps its result; the whole call, the wait for the connection
// included, ends by the statement deadline.  `call` and `sql` only name the
// statement in the error log.
template <typename Send>
kx_result *run(const char *call, const std::string &sql, Send send)
{
    const long limit_ms = statement_timeout_ms();
    const Deadline deadline{Clock::now() + Millis(limit_ms), limit_ms};
    // Every way out below without the server's answer leaves it set.
    t_connection_failed = true;
    Link &l = link();
    Hold hold(l, deadline.at);
    if (!hold || Clock::now() >= deadline.at) {
        logger(0, "%s: timed out after %ld ms waiting for the connection in \"%s\"", call,
               limit_ms, sql.c_str());
        return nullptr;
    }
    if (!ensure_connected(l, &deadline))
        return nullptr;

    PGconn *c = l.conn.get();
    ResultPtr r;
    std::string cause;
    const Outcome outcome = send(c) ? collect(c, deadline.at, r, cause) : Outcome::failed;
    if (outcome == Outcome::expired) {
        logger(0, "%s: timed out after %ld ms in \"%s\"", call, limit_ms, sql.c_str());
        // Dropped, not cancelled: PQcancel connects to the server itself
        // and would wait on a frozen one.
        l.conn.reset();
        return nullptr;
    }
    if (outcome == Outcome::failed || !r) {
        if (cause.empty())
            cause = trimmed(PQerrorMessage(c));
        logger(0, "%s: %s in \"%s\"", call, cause.c_str(), sql.c_str());
        // Whatever is left of the statement would confuse the next one.
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
        t_connection_failed = false;
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
    // A statement refused on a connection that stays is the server's answer.
    t_connection_failed = !l.conn;
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
        return run("PQexec", sql, [&sql](PGconn *c) { return PQsendQuery(c, sql.c_str()) != 0; });
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
        const long limit_ms = statement_timeout_ms();
        Link &l = link();
        Hold hold(l, Clock::now() + Millis(limit_ms));
        t_connection_failed = true;
        if (!hold) {
            logger(0, "pgOpen: timed out after %ld ms waiting for the connection", limit_ms);
            return -1;
        }
        if (!ensure_connected(l, nullptr))
            return -1;
        t_connection_failed = false;
        return 0;
    } catch (const std::bad_alloc &) {
        return -2;
    }
}

int pgConnectionFailed(void)
{
    return t_connection_failed ? 1 : 0;
}

// Never waits: a call still running closes the connection when it ends.
void pgClose(void)
{
    Link &l = link();
    std::lock_guard<std::mutex> lock(l.mutex);
    if (l.busy)
        l.close_pending = true;
    else
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
            return PQsendQueryParams(c, sql.c_str(), static_cast<int>(values.size()), nullptr,
                                     values.data(), nullptr, nullptr, 0) != 0;
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
    const kxext_log_fn sink = g_sink.load();
    if (!sink && level > 0 && level > log_threshold())
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
        if (sink) {
            while (!msg.empty() && msg.back() == '\n')
                msg.pop_back();
            sink(level, t_names.empty() ? msg.c_str() : (t_names.back() + ": " + msg).c_str());
            return;
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

void kxext_set_log(kxext_log_fn fn)
{
    g_sink.store(fn);
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
