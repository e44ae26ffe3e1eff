// A loadable module that is no COM server: it lacks DllGetClassObject.
// Thread: the test's own.
extern "C" __attribute__((visibility("default"))) int NotAComServer() { return 1; }
