// Linked into the shipped program only. The runtime's default terminate handler
// prints the demangled type of the exception to stderr, which a windowed
// program does not have; its demangler alone is a sixth of the file. Defining
// the handler here keeps the linker from taking that one from the runtime.
#include <cstdlib>
#include <exception>

namespace __gnu_cxx {

void __verbose_terminate_handler() { std::abort(); }

}  // namespace __gnu_cxx
