// Linked into every test program: the built-in runtime publishes unless a test chooses otherwise.
// A vendor NDI runtime installed on the computer would otherwise be chosen by "auto" and open its
// listeners in this computer's own network; the tests that exercise the vendor path name the
// recording stand-in, and the real runtime runs only inside the namespaces its own test makes.
#include <cstdlib>

namespace {

const bool kBuiltinByDefault = [] {
    setenv("LIRAFON_NDI_RUNTIME", "builtin", 0); // a value set outside the test is kept
    return true;
}();

} // namespace
