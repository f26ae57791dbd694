// The terminate handler of a kiv that carries the C++ runtime inside (KIV_STATIC_RUNTIME).
// The runtime's own handler names the exception's type through the C++ demangler, which is
// about 50 KB of the router's flash; this one gives the exception's message and aborts, as the
// runtime's does. Defined here, it keeps the runtime's handler and the demangler out of the link.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <exception>

namespace {

void say(const char* text) {
  ssize_t ignored = write(STDERR_FILENO, text, strlen(text));
  (void)ignored;
}

}  // namespace

namespace __gnu_cxx {

void __verbose_terminate_handler() {
  static bool terminating = false;  // a throw from what() comes back here: abort at once
  if (!terminating) {
    terminating = true;
    say("kiv: terminate called");
    if (std::exception_ptr current = std::current_exception()) {
      try {
        std::rethrow_exception(current);
      } catch (const std::exception& e) {
        say(" after an exception: ");
        say(e.what());
      } catch (...) {
        say(" after an exception of no standard type");
      }
    }
    say("\n");
  }
  std::abort();
}

}  // namespace __gnu_cxx
