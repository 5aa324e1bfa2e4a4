// A library that tests inject into a signed client with LD_PRELOAD: it only announces itself.
#include <unistd.h>

namespace {

constexpr char kAnnouncement[] = "tidewarden test library loaded\n";

// Runs when the dynamic loader maps the library, before the client's own code.
__attribute__((constructor)) void announce() { (void)!::write(STDERR_FILENO, kAnnouncement, sizeof kAnnouncement - 1); }

}  // namespace
