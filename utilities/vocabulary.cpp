/*
 * Table U: the wide-string constants of the message-tree utilities (see vocabulary.h).
 * Every utilities module reads it; nothing writes it.
 */
#include "utilities/vocabulary.h"

const utilitiesVocabulary_t U = {
    u"Destination",
    u"MQDestinationList",
    u"DestinationData",
    u"MQMD",
    u"MsgId",
    u"CorrelId",
    u"PutApplName",
    u"ReplyToQ",
    u"ReplyToQMgr",
    u"",
    u"Root",
    u"Environment",
    u"XML",
    u"BLOB",
    u"none",
    u"null",
    u"Format",
    u'.',
};
