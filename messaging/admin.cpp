// Administration of queue managers and queues: the functions of messaging/admin.h, each
// opening the queue manager's store for the one operation. Called by mqadmin and tests.
#include "messaging/admin.h"
#include "messaging/pgstore.h"
#include "messaging/store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace trevane::mq;

namespace {

// Writes the explanation (or nothing) and returns the reason.
MQLONG answer(const Failure &failure, char *detail, size_t detailSize) {
    if (detail != nullptr && detailSize > 0) {
        std::snprintf(detail, detailSize, "%s", failure.detail.c_str());
    }
    return failure.reason;
}

MQLONG succeed(char *detail, size_t detailSize) {
    return answer(Failure{}, detail, detailSize);
}

bool validAttributes(const mqQueueAttributes_t &attributes, Failure &failure) {
    if (attributes.defaultPriority < 0 || attributes.defaultPriority > MQPRI_MAX) {
        failure = {MQRC_PRIORITY_ERROR, "default priority " +
                                            std::to_string(attributes.defaultPriority) +
                                            " is not between 0 and 9"};
        return false;
    }
    if (attributes.defaultPersistence != MQPER_PERSISTENT &&
        attributes.defaultPersistence != MQPER_NOT_PERSISTENT) {
        failure = {MQRC_PERSISTENCE_ERROR, "default persistence " +
                                               std::to_string(attributes.defaultPersistence) +
                                               " is neither 0 nor 1"};
        return false;
    }
    if (attributes.maxMsgLength < 1 || attributes.maxMsgLength > (1 << 30)) {
        failure = {MQRC_MSG_TOO_BIG_FOR_Q, "maximum message length " +
                                               std::to_string(attributes.maxMsgLength) +
                                               " is not between 1 and 1073741824"};
        return false;
    }
    return true;
}

std::string text(const char *value) {
    return value != nullptr ? value : "";
}

// Makes a directory and its parents.
bool makeDirectory(const std::string &directory, Failure &failure) {
    for (size_t slash = 1; slash != std::string::npos; slash = directory.find('/', slash + 1)) {
        std::string part = directory.substr(0, slash);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            failure = {MQRC_RESOURCE_PROBLEM,
                       "cannot make the directory " + part + ": " + std::strerror(errno)};
            return false;
        }
    }
    if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
        failure = {MQRC_RESOURCE_PROBLEM,
                   "cannot make the directory " + directory + ": " + std::strerror(errno)};
        return false;
    }
    return true;
}

// True, with MQRC_OBJECT_ALREADY_EXISTS, when the data directory has an entry for the name
// in either kind of store.
bool entryExists(const std::string &directory, const std::string &name, Failure &failure) {
    struct stat info {};
    for (const std::string &path :
         {queueManagerPath(directory, name), postgresEntryPath(directory, name)}) {
        if (::stat(path.c_str(), &info) == 0) {
            failure = {MQRC_OBJECT_ALREADY_EXISTS,
                       "queue manager " + name + " already exists (" + path + ")"};
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" {

MQLONG mqDataDirectory(char *buffer, size_t size, char *detail, size_t detailSize) {
    Failure failure;
    std::string directory = dataDirectory(failure);
    if (directory.empty()) {
        return answer(failure, detail, detailSize);
    }
    if (buffer == nullptr || directory.size() >= size) {
        return answer(
            {MQRC_RESOURCE_PROBLEM, "the directory name " + directory + " does not fit the buffer"},
            detail, detailSize);
    }
    std::snprintf(buffer, size, "%s", directory.c_str());
    return succeed(detail, detailSize);
}

MQLONG mqCreateQueueManager(const char *name, char *detail, size_t detailSize) {
    std::unique_ptr<Store> store = storeFor(text(name));
    Failure failure;
    if (std::string directory = dataDirectory(failure);
        !directory.empty() && validQueueManagerName(text(name)) &&
        ::access(postgresEntryPath(directory, text(name)).c_str(), F_OK) == 0) {
        return answer({MQRC_OBJECT_ALREADY_EXISTS,
                       "queue manager " + text(name) + " already exists (in PostgreSQL, " +
                           postgresEntryPath(directory, text(name)) + ")"},
                      detail, detailSize);
    }
    if (!store->create(text(name), failure)) {
        return answer(failure, detail, detailSize);
    }
    return succeed(detail, detailSize);
}

MQLONG mqCreateQueueManagerPostgres(const char *name, const char *conninfo, char *detail,
                                    size_t detailSize) {
    std::string qmgr = text(name);
    std::string connection = text(conninfo);
    Failure failure;
    if (!validQueueManagerName(qmgr)) {
        return answer({MQRC_OBJECT_NAME_ERROR,
                       "'" + qmgr +
                           "' is not a queue manager name (1 to 48 letters, digits, '.', '_',"
                           " '%' or '-', not starting with '.')"},
                      detail, detailSize);
    }
    if (connection.find('\n') != std::string::npos) {
        return answer({MQRC_OBJECT_NAME_ERROR, "the connection text spans several lines"}, detail,
                      detailSize);
    }
    std::string directory = dataDirectory(failure);
    if (directory.empty() || entryExists(directory, qmgr, failure) ||
        !makeDirectory(directory, failure)) {
        return answer(failure, detail, detailSize);
    }
    std::string entry = postgresEntryPath(directory, qmgr);
    PgStore store(connection, entry);
    if (!store.create(qmgr, failure)) {
        return answer(failure, detail, detailSize);
    }
    store.close();
    // Written whole under another name first, so that no program reads half an entry.
    std::string part = entry + ".part";
    {
        std::ofstream out(part, std::ios::trunc);
        out << connection << '\n';
        out.close();
        if (!out || ::rename(part.c_str(), entry.c_str()) != 0) {
            ::unlink(part.c_str());
            return answer({MQRC_RESOURCE_PROBLEM,
                           "queue manager " + qmgr + " was made in the database but its entry " +
                               entry + " could not be written: " + std::strerror(errno)},
                          detail, detailSize);
        }
    }
    return succeed(detail, detailSize);
}

MQLONG mqDeleteQueueManager(const char *name, int force, char *detail, size_t detailSize) {
    std::unique_ptr<Store> store = storeFor(text(name));
    Failure failure;
    if (!store->open(text(name), failure) || !store->markDeleted(force != 0, failure)) {
        return answer(failure, detail, detailSize);
    }
    std::string path = store->path();
    store->close();
    // Marked deleted first, so a process that still has the file open fails instead of
    // writing into a file nobody will read again.
    for (const char *suffix : {"", "-wal", "-shm", "-lock"}) {
        std::string file = path + suffix;
        if (::unlink(file.c_str()) != 0 && errno != ENOENT) {
            return answer(
                {MQRC_RESOURCE_PROBLEM, "queue manager " + text(name) + " is deleted but " + file +
                                            " could not be removed: " + std::strerror(errno)},
                detail, detailSize);
        }
    }
    return succeed(detail, detailSize);
}

MQLONG mqListQueueManagers(mqQueueManagerInfo_t **managersPP, MQLONG *countP, char *detail,
                           size_t detailSize) {
    if (managersPP == nullptr || countP == nullptr) {
        return answer({MQRC_BUFFER_ERROR, "no place for the list"}, detail, detailSize);
    }
    *managersPP = nullptr;
    *countP = 0;
    Failure failure;
    std::string directory = dataDirectory(failure);
    if (directory.empty()) {
        return answer(failure, detail, detailSize);
    }
    std::vector<std::string> names;
    if (DIR *dir = ::opendir(directory.c_str()); dir != nullptr) {
        while (dirent *entry = ::readdir(dir)) {
            std::string_view file = entry->d_name;
            for (std::string_view suffix : {".qmgr", ".qmgr-pg"}) {
                if (file.size() > suffix.size() && file.ends_with(suffix)) {
                    std::string_view name = file.substr(0, file.size() - suffix.size());
                    if (validQueueManagerName(name)) {
                        names.emplace_back(name);
                    }
                }
            }
        }
        ::closedir(dir);
    } else if (errno != ENOENT) {
        return answer(
            {MQRC_RESOURCE_PROBLEM, "cannot read " + directory + ": " + std::strerror(errno)},
            detail, detailSize);
    }
    if (names.empty()) {
        return succeed(detail, detailSize);
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    auto *managers =
        static_cast<mqQueueManagerInfo_t *>(std::calloc(names.size(), sizeof **managersPP));
    if (managers == nullptr) {
        return answer({MQRC_RESOURCE_PROBLEM, "out of memory"}, detail, detailSize);
    }
    for (size_t i = 0; i < names.size(); ++i) {
        std::snprintf(managers[i].name, sizeof managers[i].name, "%s", names[i].c_str());
    }
    *managersPP = managers;
    *countP = static_cast<MQLONG>(names.size());
    return succeed(detail, detailSize);
}

int mqValidQueueName(const char *name) {
    return name != nullptr && validQueueName(name) ? 1 : 0;
}

const char *mqQueueNameRule(void) {
    return "1 to 48 letters, digits, '.', '_', '/' or '%'";
}

MQLONG mqDefineQueue(const char *qmgrName, const char *queueName,
                     const mqQueueAttributes_t *attributes, char *detail, size_t detailSize) {
    std::string queue = text(queueName);
    if (!validQueueName(queue)) {
        return answer({MQRC_OBJECT_NAME_ERROR,
                       "'" + queue + "' is not a queue name (" + mqQueueNameRule() + ")"},
                      detail, detailSize);
    }
    mqQueueAttributes_t chosen = MQ_QUEUE_ATTRIBUTES_DEFAULT;
    if (attributes != nullptr) {
        chosen = *attributes;
    }
    Failure failure;
    std::unique_ptr<Store> store = storeFor(text(qmgrName));
    if (!validAttributes(chosen, failure) || !store->open(text(qmgrName), failure) ||
        !store->defineQueue(queue, chosen, failure)) {
        return answer(failure, detail, detailSize);
    }
    return succeed(detail, detailSize);
}

MQLONG mqDeleteQueue(const char *qmgrName, const char *queueName, int purge, char *detail,
                     size_t detailSize) {
    Failure failure;
    std::unique_ptr<Store> store = storeFor(text(qmgrName));
    if (!store->open(text(qmgrName), failure) ||
        !store->deleteQueue(text(queueName), purge != 0, failure)) {
        return answer(failure, detail, detailSize);
    }
    return succeed(detail, detailSize);
}

MQLONG mqListQueues(const char *qmgrName, mqQueueInfo_t **queuesPP, MQLONG *countP, char *detail,
                    size_t detailSize) {
    if (queuesPP == nullptr || countP == nullptr) {
        return answer({MQRC_BUFFER_ERROR, "no place for the list"}, detail, detailSize);
    }
    *queuesPP = nullptr;
    *countP = 0;
    Failure failure;
    std::unique_ptr<Store> store = storeFor(text(qmgrName));
    std::vector<mqQueueInfo_t> queues;
    if (!store->open(text(qmgrName), failure) || store->recoverAbandoned(failure) < 0 ||
        !store->listQueues(queues, failure)) {
        return answer(failure, detail, detailSize);
    }
    if (queues.empty()) {
        return succeed(detail, detailSize);
    }
    auto *list = static_cast<mqQueueInfo_t *>(std::malloc(queues.size() * sizeof(mqQueueInfo_t)));
    if (list == nullptr) {
        return answer({MQRC_RESOURCE_PROBLEM, "out of memory"}, detail, detailSize);
    }
    std::copy(queues.begin(), queues.end(), list);
    *queuesPP = list;
    *countP = static_cast<MQLONG>(queues.size());
    return succeed(detail, detailSize);
}

} // extern "C"
