// The plug-in carries its own copy of the C++ runtime (-static-libstdc++, see CMakeLists.txt). That
// runtime allocates its emergency exception pool (72 KB with GCC 12) when the module is loaded. A
// shared libstdc++ keeps the pool for the life of the process; this copy goes away with the module,
// every time a host unloads the plug-in, and would leave its pool behind each time. libstdc++'s
// __gnu_cxx::__freeres, the call that memory checkers make at exit, gives it back when the module is
// unloaded. Nothing of the plug-in runs after that.
#include <cstddef>

#if defined(__GLIBCXX__)
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {
[[gnu::destructor]] void give_back_the_runtime_pool() { __gnu_cxx::__freeres(); }
}  // namespace
#endif
