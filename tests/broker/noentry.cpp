/* A library without the plug-in entry point, for the loader's error test. */
extern "C" int notAPlugin() {
    return 1;
}
