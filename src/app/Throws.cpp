// Linked into the shipped program only. The runtime's functions that throw its
// standard exceptions live in one object, and its logic_error family keeps its
// message in the old reference-counted string: taking that object brings both
// string classes and more, a sixth of the file, for errors that the program
// never expects (an index out of range, a length beyond any allocation).
// Defining them here keeps the linker from taking that object. Each throws an
// exception whose what() gives the runtime's words; every thread of the
// program catches whatever is thrown at its edge.
#include <exception>
#include <functional>
#include <new>
#include <typeinfo>

namespace {

class RuntimeFault : public std::exception {
public:
    explicit RuntimeFault(const char* what) noexcept : What(what) {}
    const char* what() const noexcept override { return What; }

private:
    const char* What;
};

}  // namespace

namespace std {

void __throw_bad_exception() { throw bad_exception(); }
void __throw_bad_alloc() { throw bad_alloc(); }
void __throw_bad_array_new_length() { throw bad_array_new_length(); }
void __throw_bad_cast() { throw bad_cast(); }
void __throw_bad_typeid() { throw bad_typeid(); }
void __throw_bad_function_call() { throw bad_function_call(); }
void __throw_logic_error(const char* what) { throw RuntimeFault(what); }
void __throw_domain_error(const char* what) { throw RuntimeFault(what); }
void __throw_invalid_argument(const char* what) { throw RuntimeFault(what); }
void __throw_length_error(const char* what) { throw RuntimeFault(what); }
void __throw_out_of_range(const char* what) { throw RuntimeFault(what); }
// The message is a format; its numbers are left out.
void __throw_out_of_range_fmt(const char* format, ...) { throw RuntimeFault(format); }
void __throw_runtime_error(const char* what) { throw RuntimeFault(what); }
void __throw_range_error(const char* what) { throw RuntimeFault(what); }
void __throw_overflow_error(const char* what) { throw RuntimeFault(what); }
void __throw_underflow_error(const char* what) { throw RuntimeFault(what); }
// A lock of a mutex that failed: its code is not looked up in the system's messages.
void __throw_system_error(int) { throw RuntimeFault("system error"); }

}  // namespace std
