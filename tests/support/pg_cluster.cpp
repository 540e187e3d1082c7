#include "pg_cluster.h"

#include <fcntl.h>
#include <libpq-fe.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace testsupport {

namespace {

// The system user the server runs as: `postgres` under root, the caller otherwise.
struct Owner {
    bool switchUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
};

Owner owner() {
    Owner o;
    if (geteuid() != 0) {
        return o;
    }
    const passwd* pw = getpwnam("postgres");
    if (pw == nullptr) {
        throw std::runtime_error(
            "tests run as root need the system user postgres "
            "(scripts/deps installs postgresql-15)");
    }
    o.switchUser = true;
    o.uid = pw->pw_uid;
    o.gid = pw->pw_gid;
    return o;
}

// Starts `argv` as the owner, its output appended to `log`; with `tied`, the child gets
// SIGQUIT (a PostgreSQL server's immediate shutdown) when this thread ends.
pid_t spawn(const std::vector<std::string>& argv, const std::string& log, bool tied) {
    const Owner o = owner();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, 0);
        if (o.switchUser && (setgid(o.gid) != 0 || setuid(o.uid) != 0)) {
            _exit(126);
        }
        if (tied) {
            prctl(PR_SET_PDEATHSIG, SIGQUIT);
            if (getppid() != parent) {
                _exit(1);
            }
        }
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

PgCluster::PgCluster(std::vector<std::string> settings) : settings_(std::move(settings)) {
    const char* bin = std::getenv("RU_TEST_PG_BIN");
    bin_ = bin != nullptr ? bin : "/usr/lib/postgresql/15/bin";
    if (access((bin_ + "/initdb").c_str(), X_OK) != 0 ||
        access((bin_ + "/postgres").c_str(), X_OK) != 0) {
        throw std::runtime_error("no PostgreSQL server in " + bin_ +
                                 " (scripts/deps installs postgresql-15; RU_TEST_PG_BIN names "
                                 "another folder)");
    }
    const Owner o = owner();
    if (o.switchUser && chown(dir_.path().c_str(), o.uid, o.gid) != 0) {
        throw std::runtime_error("cannot give " + dir_.path() + " to the user postgres");
    }
    const std::string log = dir_.file("initdb.log");
    const int status = waitFor(spawn({bin_ + "/initdb", "-D", dir_.file("data"), "-U", "postgres",
                                      "-A", "trust", "-E", "UTF8", "--locale=C", "--no-sync"},
                                     log, false));
    if (status != 0) {
        throw std::runtime_error("initdb failed (" + std::to_string(status) +
                                 "): " + fileText(log));
    }
    start();
}

PgCluster::~PgCluster() {
    try {
        stop();
    } catch (const std::exception&) {
    }
}

std::string PgCluster::uri(const std::string& dbname, const std::string& user) const {
    return "postgresql://" + user + "@/" + dbname + "?host=" + dir_.path() +
           "&port=" + std::to_string(port_);
}

void PgCluster::start() {
    std::vector<std::string> argv = {
        bin_ + "/postgres",     "-D", dir_.file("data"),     "-k", dir_.path(),          "-p",
        std::to_string(port_),  "-c", "listen_addresses=",   "-c", "fsync=off",          "-c",
        "full_page_writes=off", "-c", "max_connections=200", "-c", "shared_buffers=32MB"};
    for (const std::string& s : settings_) {
        argv.push_back("-c");
        argv.push_back(s);
    }
    pid_ = spawn(argv, dir_.file("server.log"), true);
    const std::string conninfo = uri();
    for (int tries = 0; tries < 600; ++tries) {
        if (PQping(conninfo.c_str()) == PQPING_OK) {
            return;
        }
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("the PostgreSQL server ended at start: " +
                                     fileText(dir_.file("server.log")));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("the PostgreSQL server did not start in 30 s: " +
                             fileText(dir_.file("server.log")));
}

void PgCluster::stop() {
    if (pid_ < 0) {
        return;
    }
    kill(pid_, SIGINT);
    for (int tries = 0; tries < 300; ++tries) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    kill(pid_, SIGQUIT);
    waitFor(pid_);
    pid_ = -1;
}

// The server first, so that it starts no process meanwhile.
void PgCluster::pause() {
    const std::string pid = std::to_string(pid_);
    [[maybe_unused]] const int status =
        std::system(("kill -STOP " + pid + "; kill -STOP $(pgrep -P " + pid + ")").c_str());
}

void PgCluster::resume() {
    const std::string pid = std::to_string(pid_);
    [[maybe_unused]] const int status =
        std::system(("kill -CONT $(pgrep -P " + pid + "); kill -CONT " + pid).c_str());
}

void PgCluster::restartOnNewTimeline() {
    stop();
    std::ofstream(dir_.file("data/recovery.signal")).close();
    // No archive: the recovery replays what the data directory holds, then ends.
    settings_.push_back("restore_command=false");
    start();
    settings_.pop_back();
}

std::string PgCluster::query(const std::string& sql, const std::string& dbname,
                             const std::string& user) const {
    std::unique_ptr<PGconn, void (*)(PGconn*)> conn(PQconnectdb(uri(dbname, user).c_str()),
                                                    PQfinish);
    if (PQstatus(conn.get()) != CONNECTION_OK) {
        throw std::runtime_error(PQerrorMessage(conn.get()));
    }
    PQsetNoticeProcessor(
        conn.get(), [](void*, const char*) {}, nullptr);
    std::unique_ptr<PGresult, void (*)(PGresult*)> result(PQexec(conn.get(), sql.c_str()), PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
        throw std::runtime_error(sql + ": " + PQresultErrorMessage(result.get()));
    }
    if (PQntuples(result.get()) == 0 || PQnfields(result.get()) == 0) {
        return "";
    }
    return PQgetvalue(result.get(), 0, 0);
}

PgCluster& sharedCluster() {
    static PgCluster cluster;
    return cluster;
}

}  // namespace testsupport
