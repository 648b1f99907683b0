// What ThreadSanitizer is not to report in the console's test programs. The Graphviz
// library draws text through pango, cairo, fontconfig and glib, which are not built with
// ThreadSanitizer: their own threads and locks look like races, lock-order inversions
// and foreign unlocks. The console calls them under one lock of its own
// (flowpicture.cpp). The sanitizer's runtime asks for this function when it starts.
extern "C" const char *__tsan_default_suppressions() {
    return "called_from_lib:libfontconfig.so.1\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libpango-1.0.so.0\n"
           "called_from_lib:libpangoft2-1.0.so.0\n"
           "called_from_lib:libpangocairo-1.0.so.0\n"
           "called_from_lib:libgvplugin_pango.so.6\n"
           "race:libfontconfig.so.1\n"
           "race:libglib-2.0.so.0\n"
           "mutex:libpangocairo-1.0.so.0\n"
           "deadlock:renderFlowPicture\n";
}
