// Persistent round trips through the stand-in queue manager (a put on a queue, then a get
// from it, each durable when it returns), measured against the floor SQLite sets: an insert
// and a delete of the same row shape in the same queue manager file, each in its own
// synced transaction. The ratio printed at the end is the library's cost over raw SQLite.
#include "messaging/admin.h"
#include "trevane/mq.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <map>
#include <string>
#include <unistd.h>

namespace {

const char QMGR[] = "BENCH_QM";
const char REQUEST[] = "<outer><tag1>data1</tag1></outer>";
std::string directory;

void check(MQLONG reason, const char *what) {
    if (reason != MQRC_NONE) {
        std::fprintf(stderr, "%s: %s: %s\n", what, mqReasonName(reason), mqLastErrorDetail());
        std::exit(1);
    }
}

struct Session {
    MQHCONN hconn = MQHC_UNUSABLE_HCONN;
    MQHOBJ hobj = MQHO_UNUSABLE_HOBJ;
    Session(const char *queue) {
        MQLONG compCode, reason;
        MQCONN(QMGR, &hconn, &compCode, &reason);
        check(reason, "MQCONN");
        MQOD od = MQOD_DEFAULT;
        std::memcpy(od.ObjectName, queue, std::strlen(queue));
        MQOPEN(hconn, &od, MQOO_OUTPUT | MQOO_INPUT_AS_Q_DEF, &hobj, &compCode, &reason);
        check(reason, "MQOPEN");
    }
    ~Session() {
        MQLONG compCode, reason;
        MQDISC(&hconn, &compCode, &reason);
    }
    void put(MQLONG options) {
        MQMD md = MQMD_DEFAULT;
        MQPMO pmo = MQPMO_DEFAULT;
        pmo.Options = options;
        MQLONG compCode, reason;
        MQPUT(hconn, hobj, &md, &pmo, sizeof REQUEST - 1, REQUEST, &compCode, &reason);
        check(reason, "MQPUT");
    }
    void get(MQLONG options) {
        MQMD md = MQMD_DEFAULT;
        MQGMO gmo = MQGMO_DEFAULT;
        gmo.Options = options;
        char buffer[256];
        MQLONG length, compCode, reason;
        MQGET(hconn, hobj, &md, &gmo, sizeof buffer, buffer, &length, &compCode, &reason);
        check(reason, "MQGET");
    }
};

void LibraryRoundTrip(benchmark::State &state) {
    Session session("BENCH.Q");
    for (auto _ : state) {
        session.put(MQPMO_NO_SYNCPOINT);
        session.get(MQGMO_NO_SYNCPOINT);
    }
}

// The flow runtime's pattern: get under syncpoint, put the result under syncpoint, commit.
void LibrarySyncpointRoundTrip(benchmark::State &state) {
    Session session("BENCH.Q");
    for (auto _ : state) {
        session.put(MQPMO_SYNCPOINT);
        MQLONG compCode, reason;
        MQCMIT(session.hconn, &compCode, &reason);
        check(reason, "MQCMIT");
        session.get(MQGMO_SYNCPOINT);
        MQCMIT(session.hconn, &compCode, &reason);
        check(reason, "MQCMIT");
    }
}

// The same row the library writes for a put, inserted and deleted with no more than SQLite
// itself needs: same file, same pragmas, same table and indexes, one transaction each.
void RawSqliteInsertDelete(benchmark::State &state) {
    sqlite3 *db = nullptr;
    std::string path = directory + "/" + QMGR + ".qmgr";
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK ||
        sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
        state.SkipWithError("cannot open the queue manager file");
        return;
    }
    sqlite3_stmt *insert = nullptr, *remove = nullptr;
    sqlite3_prepare_v2(
        db,
        "INSERT INTO messages(queue_id, state, priority, persistence, msg_id, correl_id, report,"
        " msg_type, expiry, expires_at, feedback, encoding, ccsid, format, backout_count,"
        " reply_to_q, reply_to_qmgr, user_id, put_appl_type, put_appl_name, put_date, put_time,"
        " body) VALUES ((SELECT id FROM queues WHERE name = 'RAW.Q'), 0, 0, 1, ?1, ?2, 0, 8,"
        " -1, NULL, 0, 546, 1208, '        ', 0, '', '', 'user', 1, 'bench_messaging',"
        " '20240101', '12000000', ?3)",
        -1, &insert, nullptr);
    sqlite3_prepare_v2(db, "DELETE FROM messages WHERE seq = ?1", -1, &remove, nullptr);
    unsigned char id[24] = {};
    uint64_t counter = 0;
    for (auto _ : state) {
        ++counter;
        std::memcpy(id, &counter, sizeof counter);
        sqlite3_bind_blob(insert, 1, id, sizeof id, SQLITE_STATIC);
        sqlite3_bind_zeroblob(insert, 2, 24);
        sqlite3_bind_blob(insert, 3, REQUEST, sizeof REQUEST - 1, SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            state.SkipWithError(sqlite3_errmsg(db));
            break;
        }
        sqlite3_reset(insert);
        sqlite3_bind_int64(remove, 1, sqlite3_last_insert_rowid(db));
        if (sqlite3_step(remove) != SQLITE_DONE) {
            state.SkipWithError(sqlite3_errmsg(db));
            break;
        }
        sqlite3_reset(remove);
    }
    sqlite3_finalize(insert);
    sqlite3_finalize(remove);
    sqlite3_close(db);
}

BENCHMARK(RawSqliteInsertDelete)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LibraryRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(LibrarySyncpointRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Keeps each benchmark's time per round trip so the ratios can be printed after the runs.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            if (!run.error_occurred && run.run_type == Run::RT_Iteration) {
                seconds[run.run_name.function_name] = run.real_accumulated_time / run.iterations;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

} // namespace

int main(int argc, char **argv) {
    char pattern[] = "/tmp/trevane-bench-mq-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        std::perror("mkdtemp");
        return 1;
    }
    directory = pattern;
    ::setenv(MQ_DIRECTORY_VARIABLE, directory.c_str(), 1);
    char detail[512];
    check(mqCreateQueueManager(QMGR, detail, sizeof detail), detail);
    check(mqDefineQueue(QMGR, "BENCH.Q", nullptr, detail, sizeof detail), detail);
    check(mqDefineQueue(QMGR, "RAW.Q", nullptr, detail, sizeof detail), detail);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    double raw = reporter.seconds["RawSqliteInsertDelete"];
    for (const char *name : {"LibraryRoundTrip", "LibrarySyncpointRoundTrip"}) {
        double library = reporter.seconds[name];
        if (raw > 0 && library > 0) {
            std::printf("%s: %.0f round trips/s, raw SQLite insert+delete %.0f/s, ratio %.2fx\n",
                        name, 1 / library, 1 / raw, library / raw);
        }
    }
    benchmark::Shutdown();
    ::nftw(
        directory.c_str(),
        [](const char *file, const struct stat *, int, FTW *) { return ::remove(file); }, 16,
        FTW_DEPTH | FTW_PHYS);
    return 0;
}
