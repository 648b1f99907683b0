/*
 * Administration of the stand-in queue manager: where queue managers live, creating and
 * deleting them, defining, deleting and listing their queues. Called by the mqadmin
 * command and by tests; applications use the messaging calls of trevane/mq.h.
 *
 * Every function returns MQRC_NONE or a reason code of trevane/mq.h, and, when detail is
 * not null, writes an explanation for a person into detail (at most detailSize bytes,
 * always terminated; empty on success).
 */
#ifndef MESSAGING_ADMIN_H
#define MESSAGING_ADMIN_H

#include "trevane/mq.h"

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Environment variable naming the directory of queue manager files. Without it:
   $XDG_DATA_HOME/trevane/queue-managers, else ~/.local/share/trevane/queue-managers. */
#define MQ_DIRECTORY_VARIABLE "TREVANE_MQ_DIR"

/* Default maximum message length of a queue: 4 MiB. */
#define MQ_DEFAULT_MAX_MSG_LENGTH 4194304

/* What a queue is defined with. */
typedef struct mqQueueAttributes_t {
    MQLONG defaultPriority;    /* 0..9: used for puts with MQPRI_PRIORITY_AS_Q_DEF */
    MQLONG defaultPersistence; /* MQPER_PERSISTENT or MQPER_NOT_PERSISTENT */
    MQLONG maxMsgLength;       /* longest message a put accepts, 1..1 GiB */
} mqQueueAttributes_t;

/* clang-format off */
#define MQ_QUEUE_ATTRIBUTES_DEFAULT {0, MQPER_PERSISTENT, MQ_DEFAULT_MAX_MSG_LENGTH}
/* clang-format on */

/* One queue as listed. */
typedef struct mqQueueInfo_t {
    char name[MQ_Q_NAME_LENGTH + 1]; /* zero-terminated */
    mqQueueAttributes_t attributes;
    MQLONG depth;       /* messages that a get can take now */
    MQLONG uncommitted; /* messages got under syncpoint and not yet committed (puts under
                          syncpoint are kept by their connection until the commit) */
} mqQueueInfo_t;

/* One queue manager as listed. */
typedef struct mqQueueManagerInfo_t {
    char name[MQ_Q_MGR_NAME_LENGTH + 1]; /* zero-terminated */
} mqQueueManagerInfo_t;

/* Writes the directory that holds the queue manager files into buffer. Returns MQRC_NONE,
   or MQRC_RESOURCE_PROBLEM when no directory can be determined or it does not fit. */
MQ_EXPORT MQLONG mqDataDirectory(char *buffer, size_t size, char *detail, size_t detailSize);

/* Creates queue manager name (letters, digits, '.', '_', '%', '-'; 1..48 characters, not
   starting with '.'), making the data directory when needed. MQRC_OBJECT_ALREADY_EXISTS
   when it exists, MQRC_OBJECT_NAME_ERROR for a name that is not allowed. */
MQ_EXPORT MQLONG mqCreateQueueManager(const char *name, char *detail, size_t detailSize);

/* Creates queue manager name in the PostgreSQL database that conninfo (libpq's connection
   text) names, creating the schema there when the database has none, and records it in the
   data directory as NAME.qmgr-pg, so that MQCONN(name) finds it. Several queue managers,
   and the programs of several machines, may share one database. MQRC_Q_MGR_UNREACHABLE
   when the server does not answer, MQRC_Q_MGR_NOT_AVAILABLE when the database has a schema
   of another version. */
MQ_EXPORT MQLONG mqCreateQueueManagerPostgres(const char *name, const char *conninfo, char *detail,
                                              size_t detailSize);

/* Deletes queue manager name and its files. Refused with MQRC_OBJECT_IN_USE while a live
   process holds messages in a unit of work, or while messages remain and force is 0.
   MQRC_Q_MGR_NAME_ERROR when there is no such queue manager. */
MQ_EXPORT MQLONG mqDeleteQueueManager(const char *name, int force, char *detail, size_t detailSize);

/* Lists the queue managers of the data directory, sorted by name, into a malloc'd array
   that the caller frees with free (null when there are none). */
MQ_EXPORT MQLONG mqListQueueManagers(mqQueueManagerInfo_t **managersPP, MQLONG *countP,
                                     char *detail, size_t detailSize);

/* 1 when name (zero-terminated) is a name this queue manager gives a queue, else 0: the
   rule mqDefineQueue applies, for programs that check a name before they use it. */
MQ_EXPORT int mqValidQueueName(const char *name);
/* The rule in words, for messages: "1 to 48 letters, digits, ...". */
MQ_EXPORT const char *mqQueueNameRule(void);

/* Defines queue queueName (letters, digits, '.', '_', '/', '%'; 1..48 characters) on
   queue manager qmgrName; attributes null means MQ_QUEUE_ATTRIBUTES_DEFAULT. */
MQ_EXPORT MQLONG mqDefineQueue(const char *qmgrName, const char *queueName,
                               const mqQueueAttributes_t *attributes, char *detail,
                               size_t detailSize);

/* Deletes a queue. Refused with MQRC_OBJECT_IN_USE while messages are held in units of
   work, or while messages remain and purge is 0 (purge discards them). */
MQ_EXPORT MQLONG mqDeleteQueue(const char *qmgrName, const char *queueName, int purge, char *detail,
                               size_t detailSize);

/* Lists the queues of a queue manager, sorted by name, with their depths, into a malloc'd
   array that the caller frees with free (null when there are none). Messages held by
   processes that have died are returned to their queues first. */
MQ_EXPORT MQLONG mqListQueues(const char *qmgrName, mqQueueInfo_t **queuesPP, MQLONG *countP,
                              char *detail, size_t detailSize);

/* Explanation of the last failed messaging call (MQCONN...MQBACK) of the calling thread,
   empty when the reason code says it all. Valid until the thread's next call. */
MQ_EXPORT const char *mqLastErrorDetail(void);

#ifdef __cplusplus
}
#endif

#endif
