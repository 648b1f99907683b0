/* A plug-in whose entry point raises an exception, for the loader's error test. */
#include "trevane/cni.h"

extern "C" void *bipGetMessageflowNodeFactory() {
    int rc = 0;
    cciThrowException(&rc, CCI_RECOVERABLE_EXCEPTION, __FILE__, __LINE__,
                      "bipGetMessageflowNodeFactory()", u"OSTRINV2_trevane", 3,
                      "Trevane Plugin Factory failed to create resource initMutex", "",
                      "TrevanePlugInFactory", "initMutex", nullptr);
}
