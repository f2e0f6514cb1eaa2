/* The loader's table filled with the library's own functions, for the C and the C++ header checks:
 * each function goes into the member of its name, whose type is the one made from the list in
 * ondara_functions.h, and any disagreement with the prototype fails to compile. */
#define ONDARA_CHECK_API_FUNCTION_(member, Type, Return, Parameters) .member = ondara_##member,
#define ONDARA_CHECK_API_FUNCTIONS ONDARA_FUNCTIONS(ONDARA_CHECK_API_FUNCTION_)
