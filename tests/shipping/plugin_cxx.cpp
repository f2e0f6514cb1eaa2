// The test plug-in compiled as C++: ondara_loader.h then takes its other path on Linux (dladdr as
// declared, where a C file without _GNU_SOURCE looks it up at run time).
#include "plugin.c"
