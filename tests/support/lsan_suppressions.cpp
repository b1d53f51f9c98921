// Leaks that LeakSanitizer finds in system libraries, not in this code: the font configuration library keeps
// caches it never frees. Linked into every test executable; ignored outside sanitizer builds.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
