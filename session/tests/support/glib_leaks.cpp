// Under the leak checker of the sanitizer builds: GLib, GIO and libsecret
// keep their type registrations and a few per-thread and per-bus blocks
// for the life of the process (the keyring calls of the service's tests
// load them); those are the libraries', not the service's.
extern "C" const char *__lsan_default_suppressions() {
    return "leak:libglib-2.0.so\nleak:libgio-2.0.so\nleak:libgobject-2.0.so\nleak:libsecret-1.so\n";
}
