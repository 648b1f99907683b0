/*
 * The messaging calls of the stand-in queue manager: connect, open, put, get (with wait,
 * browse and syncpoint), close, disconnect, commit and back-out, with the records they
 * exchange. Queues live in one SQLite file per queue manager (see messaging/store.h), so
 * several processes share them. Called by flowping, by the flow runtime of the stand-in
 * broker and by mqadmin.
 *
 * Every call reports through a completion code (MQCC_*) and a reason code (MQRC_*): OK with
 * reason 0, WARNING with a reason that says what was unusual, FAILED with the reason for
 * the failure. Fixed-width text fields (names, dates) are read up to their width or up to a
 * zero byte, whichever comes first, with trailing blanks ignored; the calls write them back
 * padded with zero bytes, so a field that fills its width has no terminator.
 */
#ifndef TREVANE_MQ_H
#define TREVANE_MQ_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library shows only the calls declared with this; everything else stays inside. */
#define MQ_EXPORT __attribute__((visibility("default")))

typedef int32_t MQLONG;
typedef MQLONG MQHCONN; /* connection handle */
typedef MQLONG MQHOBJ;  /* object (queue) handle */
typedef unsigned char MQBYTE;

/* Widths of the fixed text and byte fields. */
#define MQ_Q_NAME_LENGTH 48
#define MQ_Q_MGR_NAME_LENGTH 48
#define MQ_MSG_ID_LENGTH 24
#define MQ_CORREL_ID_LENGTH 24
#define MQ_FORMAT_LENGTH 8
#define MQ_USER_ID_LENGTH 12
#define MQ_PUT_APPL_NAME_LENGTH 28
#define MQ_PUT_DATE_LENGTH 8
#define MQ_PUT_TIME_LENGTH 8

/* Completion codes. */
#define MQCC_OK 0
#define MQCC_WARNING 1
#define MQCC_FAILED 2

/* Reason codes. The first group is what clients of a queue manager commonly test for;
   the codes from 2500 on are this queue manager's own. */
#define MQRC_NONE 0
#define MQRC_CONNECTION_LOST 2009        /* the database server went away; the unit rolled back */
#define MQRC_HCONN_ERROR 2018            /* not a live connection of this process */
#define MQRC_HOBJ_ERROR 2019             /* not an open queue of this connection */
#define MQRC_NO_MSG_AVAILABLE 2033       /* nothing to get within the wait interval */
#define MQRC_OPTIONS_ERROR 2046          /* unknown or contradictory options */
#define MQRC_Q_MGR_NAME_ERROR 2058       /* no queue manager of that name */
#define MQRC_Q_MGR_UNREACHABLE 2059      /* its database server does not answer */
#define MQRC_TRUNCATED_MSG_ACCEPTED 2079 /* warning: part returned, message removed */
#define MQRC_TRUNCATED_MSG_FAILED 2080   /* buffer too short; the message stays */
#define MQRC_UNKNOWN_OBJECT_NAME 2085    /* no queue of that name */
#define MQRC_BUFFER_ERROR 2501           /* null buffer with a non-zero length */
#define MQRC_BUFFER_LENGTH_ERROR 2502    /* negative length */
#define MQRC_OD_ERROR 2503               /* object descriptor missing or malformed */
#define MQRC_MD_ERROR 2504               /* message descriptor missing or malformed */
#define MQRC_PMO_ERROR 2505              /* put options missing or malformed */
#define MQRC_GMO_ERROR 2506              /* get options missing or malformed */
#define MQRC_OBJECT_TYPE_ERROR 2507      /* only queues can be opened */
#define MQRC_NOT_OPEN_FOR_INPUT 2508     /* get on a queue not opened for input */
#define MQRC_NOT_OPEN_FOR_OUTPUT 2509    /* put on a queue not opened for output */
#define MQRC_NOT_OPEN_FOR_BROWSE 2510    /* browse on a queue not opened for browsing */
#define MQRC_PRIORITY_ERROR 2511         /* priority outside -1..9 */
#define MQRC_PERSISTENCE_ERROR 2512      /* persistence not 0, 1 or 2 */
#define MQRC_EXPIRY_ERROR 2513           /* expiry neither positive nor unlimited */
#define MQRC_WAIT_INTERVAL_ERROR 2514    /* wait interval below -1 */
#define MQRC_MSG_TOO_BIG_FOR_Q 2515      /* longer than the queue's maximum length */
#define MQRC_UNKNOWN_OBJECT_Q_MGR 2516   /* descriptor names another queue manager */
#define MQRC_Q_DELETED 2517              /* the queue was deleted while open */
#define MQRC_Q_MGR_NOT_AVAILABLE 2518    /* the file exists but cannot be used */
#define MQRC_CONNECTION_BROKEN 2519      /* the queue manager was deleted while connected */
#define MQRC_RESOURCE_PROBLEM 2520       /* the store failed (disk full, lock timeout...) */
#define MQRC_OBJECT_ALREADY_EXISTS 2521  /* administration: name already defined */
#define MQRC_OBJECT_IN_USE 2522          /* administration: queue holds messages */
#define MQRC_OBJECT_NAME_ERROR 2523      /* administration: name not allowed */
#define MQRC_DATA_LENGTH_ERROR 2524      /* no place to return the data length */
#define MQRC_Q_MGR_BUSY 2525             /* another process kept the writer lock too long */

/* Handle values that are never issued. */
#define MQHC_UNUSABLE_HCONN (-1)
#define MQHO_UNUSABLE_HOBJ (-1)

/* Object types. */
#define MQOT_Q 1

/* Open options. */
#define MQOO_INPUT_AS_Q_DEF 0x0001
#define MQOO_INPUT_SHARED 0x0002
#define MQOO_BROWSE 0x0008
#define MQOO_OUTPUT 0x0010
#define MQOO_FAIL_IF_QUIESCING 0x2000

/* Close options. */
#define MQCO_NONE 0

/* Put-message options. Without either syncpoint option a put is outside syncpoint. */
#define MQPMO_NONE 0x0000
#define MQPMO_SYNCPOINT 0x0002
#define MQPMO_NO_SYNCPOINT 0x0004
#define MQPMO_NEW_MSG_ID 0x0040
#define MQPMO_NEW_CORREL_ID 0x0080
#define MQPMO_FAIL_IF_QUIESCING 0x2000

/* Get-message options. Without either syncpoint option a get is outside syncpoint. */
#define MQGMO_NO_WAIT 0x0000
#define MQGMO_WAIT 0x0001
#define MQGMO_SYNCPOINT 0x0002
#define MQGMO_NO_SYNCPOINT 0x0004
#define MQGMO_BROWSE_FIRST 0x0010
#define MQGMO_BROWSE_NEXT 0x0020
#define MQGMO_ACCEPT_TRUNCATED_MSG 0x0040
#define MQGMO_FAIL_IF_QUIESCING 0x2000

/* Wait interval of a get, in milliseconds. */
#define MQWI_UNLIMITED (-1)

/* Message types, persistence, priority, expiry, feedback. */
#define MQMT_REQUEST 1
#define MQMT_REPLY 2
#define MQMT_REPORT 4
#define MQMT_DATAGRAM 8
#define MQPER_NOT_PERSISTENT 0
#define MQPER_PERSISTENT 1
#define MQPER_PERSISTENCE_AS_Q_DEF 2
#define MQPRI_PRIORITY_AS_Q_DEF (-1)
#define MQPRI_MAX 9
#define MQEI_UNLIMITED (-1)
#define MQFB_NONE 0
#define MQRO_NONE 0
#define MQENC_NATIVE 546
#define MQCCSI_Q_MGR 0
#define MQCCSI_UTF8 1208

/* Put application types written into the descriptor of every put. */
#define MQAT_NO_CONTEXT 0
#define MQAT_LINUX 1

/* Format names (8 characters). */
#define MQFMT_NONE "        "

/* Structure identifiers and the one version of each record. */
#define MQOD_STRUC_ID "OD  "
#define MQMD_STRUC_ID "MD  "
#define MQPMO_STRUC_ID "PMO "
#define MQGMO_STRUC_ID "GMO "
#define MQOD_VERSION_1 1
#define MQMD_VERSION_1 1
#define MQPMO_VERSION_1 1
#define MQGMO_VERSION_1 1

/* Object descriptor: names the queue to open. ObjectQMgrName empty or the connected
   queue manager's name. */
typedef struct MQOD {
    char StrucId[4];
    MQLONG Version;
    MQLONG ObjectType;
    char ObjectName[MQ_Q_NAME_LENGTH];
    char ObjectQMgrName[MQ_Q_MGR_NAME_LENGTH];
} MQOD;

/* clang-format off */
#define MQOD_DEFAULT {{'O', 'D', ' ', ' '}, MQOD_VERSION_1, MQOT_Q, {0}, {0}}
/* clang-format on */

/* Message descriptor: input to a put (the queue manager fills the identity and context
   fields), output of a get. On input to a get, a MsgId or CorrelId that is not all zero
   bytes selects only messages carrying that identifier. */
typedef struct MQMD {
    char StrucId[4];
    MQLONG Version;
    MQLONG Report;
    MQLONG MsgType;
    MQLONG Expiry; /* tenths of a second, or MQEI_UNLIMITED; a get returns what is left */
    MQLONG Feedback;
    MQLONG Encoding;
    MQLONG CodedCharSetId;
    char Format[MQ_FORMAT_LENGTH];
    MQLONG Priority;    /* 0..9, or MQPRI_PRIORITY_AS_Q_DEF */
    MQLONG Persistence; /* MQPER_* */
    MQBYTE MsgId[MQ_MSG_ID_LENGTH];
    MQBYTE CorrelId[MQ_CORREL_ID_LENGTH];
    MQLONG BackoutCount; /* times the message was backed out of a unit of work */
    char ReplyToQ[MQ_Q_NAME_LENGTH];
    char ReplyToQMgr[MQ_Q_MGR_NAME_LENGTH];
    char UserIdentifier[MQ_USER_ID_LENGTH];
    MQLONG PutApplType;
    char PutApplName[MQ_PUT_APPL_NAME_LENGTH];
    char PutDate[MQ_PUT_DATE_LENGTH]; /* YYYYMMDD, UTC */
    char PutTime[MQ_PUT_TIME_LENGTH]; /* HHMMSSTH (hundredths), UTC */
} MQMD;

/* clang-format off */
#define MQMD_DEFAULT                                                                           \
    {{'M', 'D', ' ', ' '}, MQMD_VERSION_1, MQRO_NONE, MQMT_DATAGRAM, MQEI_UNLIMITED,           \
     MQFB_NONE, MQENC_NATIVE, MQCCSI_Q_MGR, {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '},          \
     MQPRI_PRIORITY_AS_Q_DEF, MQPER_PERSISTENCE_AS_Q_DEF, {0}, {0}, 0, {0}, {0}, {0},          \
     MQAT_NO_CONTEXT, {0}, {0}, {0}}
/* clang-format on */

/* Put-message options. Timeout is kept for callers that set it; puts never wait. */
typedef struct MQPMO {
    char StrucId[4];
    MQLONG Version;
    MQLONG Options;
    MQLONG Timeout;
    char ResolvedQName[MQ_Q_NAME_LENGTH]; /* output: the queue the message went to */
} MQPMO;

/* clang-format off */
#define MQPMO_DEFAULT {{'P', 'M', 'O', ' '}, MQPMO_VERSION_1, MQPMO_NONE, -1, {0}}
/* clang-format on */

/* Get-message options. WaitInterval counts only with MQGMO_WAIT. */
typedef struct MQGMO {
    char StrucId[4];
    MQLONG Version;
    MQLONG Options;
    MQLONG WaitInterval;                  /* milliseconds, or MQWI_UNLIMITED */
    char ResolvedQName[MQ_Q_NAME_LENGTH]; /* output: the queue the message came from */
} MQGMO;

/* clang-format off */
#define MQGMO_DEFAULT {{'G', 'M', 'O', ' '}, MQGMO_VERSION_1, MQGMO_NO_WAIT, 0, {0}}
/* clang-format on */

/* Message and correlation identifier meaning "none": 24 zero bytes. */
/* clang-format off */
#define MQMI_NONE {0}
#define MQCI_NONE {0}
/* clang-format on */

/* Connects to the queue manager named by the first 48 characters of qmgrName (the data
   directory is TREVANE_MQ_DIR, see messaging/store.h). Gives a handle usable from any
   thread of this process until MQDISC. Unknown or unusable name: MQRC_Q_MGR_NAME_ERROR. */
MQ_EXPORT void MQCONN(const char *qmgrName, MQHCONN *hconnP, MQLONG *compCodeP, MQLONG *reasonP);

/* Ends a connection: backs out its uncommitted work, closes its queues and sets *hconnP to
   MQHC_UNUSABLE_HCONN. */
MQ_EXPORT void MQDISC(MQHCONN *hconnP, MQLONG *compCodeP, MQLONG *reasonP);

/* Opens the queue named in od for the MQOO_* uses in options. Unknown queue:
   MQRC_UNKNOWN_OBJECT_NAME. The handle is valid until MQCLOSE or MQDISC. */
MQ_EXPORT void MQOPEN(MQHCONN hconn, MQOD *od, MQLONG options, MQHOBJ *hobjP, MQLONG *compCodeP,
                      MQLONG *reasonP);

/* Closes a queue handle and sets *hobjP to MQHO_UNUSABLE_HOBJ; uncommitted work stays with
   the connection. */
MQ_EXPORT void MQCLOSE(MQHCONN hconn, MQHOBJ *hobjP, MQLONG options, MQLONG *compCodeP,
                       MQLONG *reasonP);

/* Puts length bytes of buffer on the queue. Outside syncpoint the message is on disk when
   the call returns; under syncpoint it becomes visible at MQCMIT. md receives the message
   identifier (when it was none or MQPMO_NEW_MSG_ID) and the put context. */
MQ_EXPORT void MQPUT(MQHCONN hconn, MQHOBJ hobj, MQMD *md, MQPMO *pmo, MQLONG length,
                     const void *buffer, MQLONG *compCodeP, MQLONG *reasonP);

/* Gets (or browses) the first message by priority, then arrival, that matches md's
   identifiers, waiting when gmo says so. *dataLengthP receives the message's full length.
   A message longer than bufferLength fails with MQRC_TRUNCATED_MSG_FAILED and stays on the
   queue (md is filled, so a retry with a larger buffer selects it), unless
   MQGMO_ACCEPT_TRUNCATED_MSG: then the part that fits is returned with a warning. */
MQ_EXPORT void MQGET(MQHCONN hconn, MQHOBJ hobj, MQMD *md, MQGMO *gmo, MQLONG bufferLength,
                     void *buffer, MQLONG *dataLengthP, MQLONG *compCodeP, MQLONG *reasonP);

/* Commits the connection's unit of work: messages got under syncpoint are removed, those
   put under syncpoint become visible. */
MQ_EXPORT void MQCMIT(MQHCONN hconn, MQLONG *compCodeP, MQLONG *reasonP);

/* Backs out the connection's unit of work: messages got under syncpoint return to their
   queues with their backout count raised by one, those put under syncpoint are discarded. */
MQ_EXPORT void MQBACK(MQHCONN hconn, MQLONG *compCodeP, MQLONG *reasonP);

/* The constant's name for a reason code ("MQRC_NO_MSG_AVAILABLE"), or "MQRC_UNKNOWN" for a
   code this library does not issue. Static text; never null. */
MQ_EXPORT const char *mqReasonName(MQLONG reason);

#ifdef __cplusplus
}
#endif

#endif
