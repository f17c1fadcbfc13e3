// The wheel's platform floor is manylinux_2_28, whose libstdc++ (GCC 8) lacks what newer GCC
// headers call when an allocation's size overflows. Defining it here keeps the module from
// importing it from the C++ runtime: the function only throws the standard exception, as the
// runtime's own does. auditwheel (make dist) checks that nothing newer is imported.
#include <new>

namespace std {

[[noreturn]] void __throw_bad_array_new_length() {
    throw std::bad_array_new_length();
}

}  // namespace std

// Newer C++ headers read glibc's flag that the process has one thread only (since 2.32) to skip
// the atomic steps of shared_ptr's counts. This definition, hidden in the module, stands in for
// it and always says no: the atomic steps are always taken, which is right whatever the threads.
extern "C" {
char __libc_single_threaded = 0;
}
